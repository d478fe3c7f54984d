#include <IdxReports/ReportFileHandler.h>
