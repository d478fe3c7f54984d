#include <platform/QiError.h>
