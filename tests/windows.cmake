# The Windows tests (cmake/windows.cmake includes this file when LENVARO_BUILD_TESTS is on). They
# run under Wine (scripts/check windows); the end-to-end tests that start LenvaroServer.exe are a
# Linux program of the Linux build (lenvaro_wine_e2e_tests), talking to it over loopback.
find_package(GTest REQUIRED)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/tests)

# The recording fake as Pictavo.dll: plain C functions, caller-cleans (cdecl), exported under
# their plain names, beside the unit tests and copied beside the executable by the e2e tests.
add_library(pictavo_fake SHARED
  ${PROJECT_SOURCE_DIR}/tests/fakes/fake_pictavo.cpp
  ${PROJECT_SOURCE_DIR}/tests/fakes/fake_entry_points.cpp)
set_target_properties(pictavo_fake PROPERTIES OUTPUT_NAME Pictavo PREFIX "")
target_include_directories(pictavo_fake PUBLIC ${PROJECT_SOURCE_DIR}/tests/fakes)
target_link_libraries(pictavo_fake PUBLIC lenvaro_capture_abi Threads::Threads PRIVATE PkgConfig::JSONCPP lenvaro_base64)
# Only the fake's own functions are exported, not the runtime and helpers linked into it.
target_link_options(pictavo_fake PRIVATE
  -Wl,--exclude-libs,libstdc++.a:libgcc.a:libgcc_eh.a:libpthread.a:libwinpthread.a:libjsoncpp.a:liblenvaro_base64.a:liblenvaro_platform_files.a)

# The command tests that do not depend on the platform, and the Windows platform tests.
set(LENVARO_WINDOWS_UNIT_TEST_SOURCES
  service/command_service_test.cpp service/command_worker_test.cpp service/dispatch_test.cpp
  service/handshake_policy_test.cpp service/reply_test.cpp
  files/text_encoding_test.cpp files/upload_commands_test.cpp common/jpeg_codec_test.cpp
  host/command_line_test.cpp host/allowed_origins_config_test.cpp
  camera/capture_commands_test.cpp camera/device_commands_test.cpp
  camera/recording_document_commands_test.cpp
  cards/card_reader_commands_test.cpp cards/ic_card_commands_test.cpp
  biometrics/face_commands_test.cpp
  recognition/barcode_commands_test.cpp recognition/ocr_commands_test.cpp
  recognition/template_commands_test.cpp
  signpad/signpad_commands_test.cpp)
list(TRANSFORM LENVARO_WINDOWS_UNIT_TEST_SOURCES PREPEND ${PROJECT_SOURCE_DIR}/tests/)
file(GLOB LENVARO_WINDOWS_PLATFORM_TEST_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/tests/*/*_windows_test.cpp)
add_executable(lenvaro_unit_tests ${LENVARO_WINDOWS_UNIT_TEST_SOURCES} ${LENVARO_WINDOWS_PLATFORM_TEST_SOURCES})
target_include_directories(lenvaro_unit_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
target_link_libraries(lenvaro_unit_tests PRIVATE lenvaro_core pictavo_fake GTest::gtest_main)
# LenvaroServer.exe beside the tests, for the Ctrl+C test that starts it.
add_dependencies(lenvaro_unit_tests LenvaroServer)
add_custom_command(TARGET lenvaro_unit_tests POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:LenvaroServer> ${PROJECT_BINARY_DIR}/tests/)

# scripts/check windows runs this under Wine.
add_test(NAME windows_unit_tests COMMAND wine $<TARGET_FILE:lenvaro_unit_tests> --gtest_filter=-WindowsConsole.*)
# Ctrl+C needs a console, which Wine has only on a terminal: script(1) gives it one.
add_test(NAME windows_console_ctrl_c
  COMMAND script -qec "wine $<TARGET_FILE:lenvaro_unit_tests> --gtest_filter=WindowsConsole.* --gtest_color=no" /dev/null)
set_tests_properties(windows_console_ctrl_c PROPERTIES ENVIRONMENT LENVARO_REQUIRE_CONSOLE=1)

# A library that lacks all but one function, for the end-to-end test of a wrong Pictavo.dll.
add_library(pictavo_incomplete SHARED ${PROJECT_SOURCE_DIR}/tests/wine/incomplete_pictavo.cpp)
set_target_properties(pictavo_incomplete PROPERTIES OUTPUT_NAME IncompletePictavo PREFIX "")
