#include <platform/IdxNamedMutex.h>
