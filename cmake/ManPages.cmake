# The tools' manual pages (docs/man), installed gzipped as Debian wants them. gzip -n leaves the
# name and time out of the header, so the same page always makes the same file.
find_program(TARN_GZIP gzip REQUIRED)
add_custom_target(tarn_man_pages ALL)

# tarn_install_man_page(PAGE): builds PAGE.gz from docs/man/PAGE and installs it with the tools.
function(tarn_install_man_page page)
    set(source ${PROJECT_SOURCE_DIR}/docs/man/${page})
    set(copy ${PROJECT_BINARY_DIR}/man/${page})
    add_custom_command(OUTPUT ${copy}.gz
        COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
        COMMAND ${TARN_GZIP} -9nf ${copy}
        DEPENDS ${source}
        COMMENT "Compressing the manual page ${page}"
        VERBATIM)
    string(REPLACE "." "_" stem ${page})
    add_custom_target(tarn_man_${stem} DEPENDS ${copy}.gz)
    add_dependencies(tarn_man_pages tarn_man_${stem})
    string(REGEX MATCH "[0-9]$" section ${page})
    install(FILES ${copy}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT tools)
endfunction()
