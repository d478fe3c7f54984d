#include <IdxReports/Reports/JobStatsReport.h>
