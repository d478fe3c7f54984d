# Included by ctest after the discovered stress tests: gives each its labels.
foreach(test IN LISTS stress_tests_TESTS)
    if(test MATCHES "^ReportThreads\\.")
        set_tests_properties("${test}" PROPERTIES LABELS "stress;threads")
    else()
        set_tests_properties("${test}" PROPERTIES LABELS "stress")
    endif()
endforeach()
