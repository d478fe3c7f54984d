# One place for the warning flags every target of ours gets.
function(idxreports_apply_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(IDXREPORTS_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
