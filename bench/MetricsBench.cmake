# idxreport metrics beside its floor; it lives in the tool's library.
if(TARGET idxreport_lib)
    target_sources(idxreports_bench PRIVATE ${CMAKE_CURRENT_LIST_DIR}/MetricsBench.cpp)
    target_link_libraries(idxreports_bench PRIVATE idxreport_lib)
endif()
