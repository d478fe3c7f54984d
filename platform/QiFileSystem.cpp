#include <platform/QiFileSystem.h>
