#include <platform/QiCRC64.h>
