#include <IdxReports/ReportRecord.h>
