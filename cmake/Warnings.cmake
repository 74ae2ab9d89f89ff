# tarn_warnings(target): the project's warning set, fatal when TARN_WARNINGS_AS_ERRORS is on.
function(tarn_warnings target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4)
        if(TARN_WARNINGS_AS_ERRORS)
            target_compile_options(${target} PRIVATE /WX)
        endif()
    else()
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
        if(TARN_WARNINGS_AS_ERRORS)
            target_compile_options(${target} PRIVATE -Werror)
        endif()
    endif()
endfunction()

# tarn_thread_safety(target): Clang checks the target's locking against its annotations
# (EngineCore/internal/NThreadSafety.h), the declared lock order included (-Wthread-safety-beta
# checks ACQUIRED_BEFORE and ACQUIRED_AFTER); other compilers ignore them.
function(tarn_thread_safety target)
    if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        target_compile_options(${target} PRIVATE -Wthread-safety -Wthread-safety-beta)
    endif()
endfunction()
