#include <IdxReports/Reports/LogCleanUpReport.h>
