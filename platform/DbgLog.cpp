#include <platform/DbgLog.h>
