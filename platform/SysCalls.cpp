#include <platform/SysCalls.h>
