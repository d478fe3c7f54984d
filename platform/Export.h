#pragma once

// The library is built with hidden visibility; only what carries this macro is
// part of the shared object's interface.
#if defined(IDXREPORTS_STATIC)
#define IDXREPORTS_API
#else
#define IDXREPORTS_API __attribute__((visibility("default")))
#endif

// printf-style argument checking for our variadic formatters.
#define IDXREPORTS_PRINTF(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))
