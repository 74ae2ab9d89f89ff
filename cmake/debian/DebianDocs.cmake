# What each Debian package carries in /usr/share/doc/<package> (included by cmake/PackageDeb.cmake):
# copyright and changelog.Debian.gz in every one, and in the development package the README with
# what it links to. Installed only for the packages (EXCLUDE_FROM_ALL): a plain install has the
# licence and the documents in its own doc folder (cmake/Install.cmake).

# Debian's copyright file: the licence in the machine-readable format, where MIT is called Expat.
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" tarn_license)
string(REGEX REPLACE "^.*\n(Permission is hereby granted)" "\\1" tarn_license "${tarn_license}")
string(STRIP "${tarn_license}" tarn_license)
string(REPLACE "\n\n" "\n.\n" tarn_license "${tarn_license}")
string(REPLACE "\n" "\n " tarn_license " ${tarn_license}")
configure_file("${CMAKE_CURRENT_LIST_DIR}/copyright.in" "${tarn_debian_dir}/copyright" @ONLY)

# changelog.Debian.gz: one entry for this version, dated now (or at SOURCE_DATE_EPOCH).
string(TIMESTAMP tarn_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file("${CMAKE_CURRENT_LIST_DIR}/changelog.in" "${tarn_debian_dir}/changelog.Debian" @ONLY)
# The upstream changelog also goes in as changelog.gz, the name Debian users look for; CHANGELOG.md
# stays beside the README, which links to it. configure_file makes a change to it configure again.
configure_file("${PROJECT_SOURCE_DIR}/CHANGELOG.md" "${tarn_debian_dir}/changelog" COPYONLY)
find_program(TARN_GZIP gzip REQUIRED)
execute_process(COMMAND "${TARN_GZIP}" -9nf "${tarn_debian_dir}/changelog.Debian" "${tarn_debian_dir}/changelog"
                COMMAND_ERROR_IS_FATAL ANY)

foreach(component libs dev tools)
    string(TOUPPER ${component} upper)
    set(doc "${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}")
    install(FILES "${tarn_debian_dir}/copyright" "${tarn_debian_dir}/changelog.Debian.gz"
            DESTINATION "${doc}" COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
# The README, and what it links to, beside it in the development package.
set(doc "${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_DEV_PACKAGE_NAME}")
install(FILES "${PROJECT_SOURCE_DIR}/README.md" "${PROJECT_SOURCE_DIR}/CHANGELOG.md"
              "${tarn_debian_dir}/changelog.gz" DESTINATION "${doc}" COMPONENT dev EXCLUDE_FROM_ALL)
install(DIRECTORY "${PROJECT_SOURCE_DIR}/docs/" DESTINATION "${doc}/docs" COMPONENT dev EXCLUDE_FROM_ALL
        PATTERN man EXCLUDE)
install(DIRECTORY "${PROJECT_SOURCE_DIR}/examples/" DESTINATION "${doc}/examples" COMPONENT dev EXCLUDE_FROM_ALL)
