# One place for the warning flags every target of ours gets.
function(idxreports_apply_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(IDXREPORTS_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
        # g++ 12's flow analysis is unsound under the sanitizers: it reports
        # pointer-to-member calls and std::regex's own std::function members as
        # maybe uninitialised. Those stay warnings there; plain builds keep them errors.
        if(CMAKE_CXX_FLAGS MATCHES "-fsanitize=")
            target_compile_options(${target} PRIVATE -Wno-error=maybe-uninitialized)
        endif()
    endif()
endfunction()
