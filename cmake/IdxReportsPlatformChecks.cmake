# Platform features are detected here once; code sees only the definitions.
include(CheckCXXSourceCompiles)

check_cxx_source_compiles("
#include <fcntl.h>
int main() { struct flock l{}; return fcntl(0, F_OFD_SETLK, &l); }
" IDXREPORTS_HAVE_OFD_LOCKS)

set(IDXREPORTS_PLATFORM_DEFINITIONS)
if(IDXREPORTS_HAVE_OFD_LOCKS)
    list(APPEND IDXREPORTS_PLATFORM_DEFINITIONS IDXREPORTS_HAVE_OFD_LOCKS=1)
endif()
