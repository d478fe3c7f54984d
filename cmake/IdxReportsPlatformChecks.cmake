# Platform features are detected here once; code sees only the definitions.
# None are needed at present: named mutexes use flock, which every Linux has.
set(IDXREPORTS_PLATFORM_DEFINITIONS)
