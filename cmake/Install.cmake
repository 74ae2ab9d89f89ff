# Installation: the public headers, the two shared libraries, a CMake package and a pkg-config file.
# Each file belongs to a component, which the packages follow (cmake/Package.cmake):
#   libs   the shared libraries (on Windows the DLLs)
#   dev    headers, the .so links or import libraries, the CMake package, tarninteraction.pc
#   tools  tarn and tarn_server with their manual pages
#   doc    the licence, README, CHANGELOG, docs/ and examples/ (what the README links to)
#
#   find_package(TarnInteraction 1.0 REQUIRED)
#   target_link_libraries(host PRIVATE TarnInteraction::TarnInteraction)   # EngineCore comes along
#
#   pkg-config --cflags --libs tarninteraction
#
# TarnInteraction links its static core (and, on Linux, the static Win32 layer) PRIVATE and whole
# into the shared object. CMake leaves the private dependencies of a shared library out of its
# exported interface, so the export set holds the two shared libraries only and the static ones
# are neither installed nor needed by a host.
include(CMakePackageConfigHelpers)

set(TARN_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/TarnInteraction"
    CACHE STRING "Where the CMake package of TarnInteraction is installed, relative to the prefix")
set(TARN_INSTALL_PKGCONFIGDIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig"
    CACHE STRING "Where tarninteraction.pc is installed, relative to the prefix")

# The installed library finds EngineCore beside itself, and tarn finds both in ../lib.
if(APPLE)
    set_target_properties(TarnInteraction PROPERTIES INSTALL_RPATH "@loader_path")
elseif(NOT WIN32)
    set_target_properties(TarnInteraction PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()

install(TARGETS TarnInteraction EngineCore
    EXPORT TarnInteractionTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT libs
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libs NAMELINK_COMPONENT dev
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
)

install(FILES ${PROJECT_SOURCE_DIR}/TarnInteraction/include/TarnInteraction/ITarnInteraction.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/TarnInteraction COMPONENT dev)
install(FILES
    ${PROJECT_SOURCE_DIR}/EngineCore/include/EngineCore/EngineCoreApi.h
    ${PROJECT_SOURCE_DIR}/EngineCore/include/EngineCore/NWLog.h
    ${PROJECT_SOURCE_DIR}/EngineCore/include/EngineCore/NThread.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/EngineCore COMPONENT dev)

install(EXPORT TarnInteractionTargets
    NAMESPACE TarnInteraction::
    DESTINATION ${TARN_INSTALL_CMAKEDIR}
    COMPONENT dev
)
configure_package_config_file(
    ${PROJECT_SOURCE_DIR}/cmake/TarnInteractionConfig.cmake.in
    ${PROJECT_BINARY_DIR}/TarnInteractionConfig.cmake
    INSTALL_DESTINATION ${TARN_INSTALL_CMAKEDIR}
)
write_basic_package_version_file(
    ${PROJECT_BINARY_DIR}/TarnInteractionConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion
)
install(FILES
    ${PROJECT_BINARY_DIR}/TarnInteractionConfig.cmake
    ${PROJECT_BINARY_DIR}/TarnInteractionConfigVersion.cmake
    DESTINATION ${TARN_INSTALL_CMAKEDIR}
    COMPONENT dev
)

# pkg-config: the prefix is found from the .pc file's own place, so that an install moved with
# `cmake --install --prefix` (or a DESTDIR) still points at itself.
if(IS_ABSOLUTE "${TARN_INSTALL_PKGCONFIGDIR}")
    set(TARN_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
    file(RELATIVE_PATH TARN_PC_UP "/prefix/${TARN_INSTALL_PKGCONFIGDIR}" "/prefix")
    string(REGEX REPLACE "/$" "" TARN_PC_UP "${TARN_PC_UP}")
    set(TARN_PC_PREFIX "\${pcfiledir}/${TARN_PC_UP}")
endif()
foreach(dir LIBDIR INCLUDEDIR)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
        set(TARN_PC_${dir} "${CMAKE_INSTALL_${dir}}")
    else()
        set(TARN_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
    endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/tarninteraction.pc.in ${PROJECT_BINARY_DIR}/tarninteraction.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tarninteraction.pc DESTINATION ${TARN_INSTALL_PKGCONFIGDIR} COMPONENT dev)

# The command-line host and its loopback test server, when they are built, with their manual pages.
if(TARGET tarn OR TARGET tarn_server)
    include(${CMAKE_CURRENT_LIST_DIR}/ManPages.cmake)
endif()
if(TARGET tarn)
    set_target_properties(tarn PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    install(TARGETS tarn RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
    tarn_install_man_page(tarn.1)
endif()
if(TARGET tarn_server)
    install(TARGETS tarn_server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
    tarn_install_man_page(tarn_server.1)
endif()

# The licence and the documents the README links to, beside it. A Windows archive has them at its
# top, where its users look first.
if(WIN32)
    set(TARN_INSTALL_DOCDIR_DEFAULT .)
else()
    set(TARN_INSTALL_DOCDIR_DEFAULT ${CMAKE_INSTALL_DOCDIR})
endif()
set(TARN_INSTALL_DOCDIR "${TARN_INSTALL_DOCDIR_DEFAULT}"
    CACHE STRING "Where the licence, README, CHANGELOG, docs/ and examples/ go, relative to the prefix")
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
    DESTINATION ${TARN_INSTALL_DOCDIR} COMPONENT doc)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${TARN_INSTALL_DOCDIR}/docs COMPONENT doc
    PATTERN man EXCLUDE)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${TARN_INSTALL_DOCDIR}/examples COMPONENT doc)
