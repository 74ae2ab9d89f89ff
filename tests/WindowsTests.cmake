# The Windows test build: the suites that drive the library through its interface, cross-compiled
# with MinGW-w64 and run under Wine by scripts/wine-check.sh against the real (Wine's) WinINet.
# The scripted servers run inside each test process; the demo server runs natively beside Wine
# (tests/support/RemoteTarnServer.cpp). Suites of the Linux layer alone are not built here.

# GoogleTest for the target, from the sources Debian's googletest package ships.
set(TARN_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for the Windows tests")
if(NOT EXISTS ${TARN_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${TARN_GTEST_SOURCE_DIR}: install googletest")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${TARN_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

add_library(TarnTestSupport STATIC
    support/LogCapture.cpp
    support/ScriptedServer.cpp
    support/DeliveryLog.cpp
    support/TestSockets.cpp
    support/Wine.cpp
    support/Posix.cpp
    support/FifoChoreography.cpp
)
# The portable helpers of tools/common (pattern bytes, the hash, TempDir) are header-only.
target_include_directories(TarnTestSupport PUBLIC
    ${CMAKE_CURRENT_SOURCE_DIR}/support
    ${PROJECT_SOURCE_DIR}/tools/common
    ${PROJECT_SOURCE_DIR}/TarnInteraction/include)
target_link_libraries(TarnTestSupport PUBLIC EngineCoreForTarget gtest ws2_32)
tarn_warnings(TarnTestSupport)

add_library(TarnServerLib STATIC
    support/RemoteTarnServer.cpp
    ${PROJECT_SOURCE_DIR}/tools/server/TarnServerShared.cpp
)
target_include_directories(TarnServerLib PUBLIC ${PROJECT_SOURCE_DIR}/tools/server)
target_link_libraries(TarnServerLib PUBLIC TarnTestSupport)
tarn_warnings(TarnServerLib)

set(TARN_WINDOWS_TESTS "")
function(tarn_add_windows_test name)
    cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
    add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
    target_link_libraries(${name} PRIVATE TarnTestSupport gtest_main ${ARG_LIBS})
    tarn_warnings(${name})
    set(TARN_WINDOWS_TESTS ${TARN_WINDOWS_TESTS} ${name} PARENT_SCOPE)
endfunction()

tarn_add_windows_test(EngineCoreTests EngineCoreTests.cpp)
tarn_add_windows_test(InteractionParamTests InteractionParamTests.cpp HttpClientParamTests.cpp BodyMemoryTests.cpp
    LIBS TarnInteractionCore)
tarn_add_windows_test(ExportTests ExportTests.cpp LIBS TarnInteraction)
target_compile_definitions(ExportTests PRIVATE TARN_LIBRARY_PATH="TarnInteraction.dll")
tarn_add_windows_test(DispatchTests DispatchTests.cpp LIBS TarnInteractionCore TarnServerLib)
# The two suites that hold or fail the thread pool run on EngineCore's test variant,
# EngineCoreTesting.dll, which scripts/wine-check.sh copies beside them.
set_target_properties(EngineCoreTests DispatchTests PROPERTIES TARN_ENGINECORE_TEST_SEAM ON)
tarn_add_windows_test(PostBodyTests PostBodyTests.cpp LIBS TarnInteractionCore TarnServerLib)
target_compile_definitions(PostBodyTests PRIVATE
    TARN_MULTIPART_PARSER="${CMAKE_CURRENT_SOURCE_DIR}/support/parse_multipart.py")
tarn_add_windows_test(TransferTests TransferTests.cpp LIBS TarnInteractionCore TarnServerLib)
tarn_add_windows_test(TransferFaultTests TransferFaultTests.cpp LIBS TarnInteractionCore)
tarn_add_windows_test(TlsFaultTests TlsFaultTests.cpp tls/TlsServers.cpp LIBS TarnInteractionCore crypt32)
target_include_directories(TlsFaultTests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tls)

# The list scripts/wine-check.sh runs, one program a line.
string(REPLACE ";" "\n" TARN_WINDOWS_TEST_LINES "${TARN_WINDOWS_TESTS}")
file(WRITE ${CMAKE_BINARY_DIR}/windows-tests.txt "${TARN_WINDOWS_TEST_LINES}\n")
add_custom_target(windows_tests ALL DEPENDS ${TARN_WINDOWS_TESTS})
