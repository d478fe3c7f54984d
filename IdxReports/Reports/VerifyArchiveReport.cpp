#include <IdxReports/Reports/VerifyArchiveReport.h>
