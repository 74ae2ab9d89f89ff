# Sanitizers apply to every target of the build, so that the shared libraries and the
# test programs are instrumented alike.
if(TARN_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
elseif(TARN_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(NOT TARN_SANITIZE STREQUAL "")
    message(FATAL_ERROR "Unknown TARN_SANITIZE value '${TARN_SANITIZE}'")
endif()
