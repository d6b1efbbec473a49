# The 32-bit Windows build (configured by scripts/windows with cmake/mingw-i686.cmake): the
# service as LenvaroServer.exe, statically linked so that it imports only system DLLs, and with
# LENVARO_BUILD_TESTS the tests that scripts/check windows runs under Wine. The built-in capture
# library is not built here: the camera maker's Pictavo.dll takes its place.
if(NOT LENVARO_WINDOWS_DEPS)
  message(FATAL_ERROR "LENVARO_WINDOWS_DEPS must name the cross-built dependencies (scripts/windows sets it)")
endif()
set(deps ${LENVARO_WINDOWS_DEPS})

# Windows 7 and later; websocketpp on std::thread rather than Boost.Thread.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX
  _WEBSOCKETPP_CPP11_THREAD_ BOOST_ALL_NO_LIB)
# No libstdc++, libgcc or winpthread DLLs to ship: everything but the system's own DLLs is in
# the executable.
add_link_options(-static -static-libgcc -static-libstdc++)

add_library(Boost::system INTERFACE IMPORTED)
set_target_properties(Boost::system PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${deps}/include
  INTERFACE_LINK_LIBRARIES "ws2_32;mswsock")
add_library(PkgConfig::JSONCPP STATIC IMPORTED)
set_target_properties(PkgConfig::JSONCPP PROPERTIES
  IMPORTED_LOCATION ${deps}/lib/libjsoncpp.a
  INTERFACE_INCLUDE_DIRECTORIES ${deps}/include/jsoncpp)
add_library(PkgConfig::TINYXML STATIC IMPORTED)
set_target_properties(PkgConfig::TINYXML PROPERTIES
  IMPORTED_LOCATION ${deps}/lib/libtinyxml.a
  INTERFACE_INCLUDE_DIRECTORIES ${deps}/include
  INTERFACE_COMPILE_DEFINITIONS TIXML_USE_STL)
add_library(JPEG::JPEG STATIC IMPORTED)
set_target_properties(JPEG::JPEG PROPERTIES
  IMPORTED_LOCATION ${deps}/lib/libjpeg.a
  INTERFACE_INCLUDE_DIRECTORIES ${deps}/include)
set(WEBSOCKETPP_INCLUDE_DIR ${deps}/include)

add_subdirectory(common)
add_subdirectory(src)

add_executable(LenvaroServer WIN32
  src/main_windows.cpp
  src/host/lenvaro_server.rc)
target_link_libraries(LenvaroServer PRIVATE lenvaro_core)
# The release executable ships without its symbol table (half its size).
target_link_options(LenvaroServer PRIVATE $<$<CONFIG:Release>:-s>)

# Beside the executable: cfg/exeCfg.xml, and the demo page with its client library in
# bin/web/demo, so that copying bin/ and cfg/ is the whole installation.
file(COPY cfg/exeCfg.xml DESTINATION ${PROJECT_BINARY_DIR}/cfg)
set(LENVARO_WEB_DEMO_DIR ${PROJECT_BINARY_DIR}/bin/web/demo)
add_custom_target(lenvaro_web_demo ALL
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${PROJECT_SOURCE_DIR}/web/demo ${LENVARO_WEB_DEMO_DIR}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${LENVARO_WEB_DEMO_DIR}/client
  COMMAND ${CMAKE_COMMAND} -E copy web/client/lenvaro-client.js web/client/lenvaro-client.d.ts ${LENVARO_WEB_DEMO_DIR}/client/
  COMMAND ${CMAKE_COMMAND} -DMODULE=${PROJECT_SOURCE_DIR}/web/client/lenvaro-client.js
    -DOUTPUT=${LENVARO_WEB_DEMO_DIR}/client/lenvaro-client.global.js -P ${PROJECT_SOURCE_DIR}/cmake/client_global_script.cmake
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
add_dependencies(LenvaroServer lenvaro_web_demo)

if(LENVARO_BUILD_TESTS)
  enable_testing()
  include(${PROJECT_SOURCE_DIR}/tests/windows.cmake)
endif()
