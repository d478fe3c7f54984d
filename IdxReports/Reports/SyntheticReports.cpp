#include <IdxReports/Reports/SyntheticReports.h>
