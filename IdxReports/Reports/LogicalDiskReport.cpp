#include <IdxReports/Reports/LogicalDiskReport.h>
