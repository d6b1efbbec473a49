# Cross-compiling for 32-bit Windows with Debian's MinGW-w64 (POSIX thread model, so std::thread
# and std::mutex work). scripts/windows passes LENVARO_WINDOWS_DEPS: the prefix where it built
# JsonCpp, TinyXML, libjpeg-turbo and GoogleTest, with Boost and websocketpp headers linked in.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_AR i686-w64-mingw32-ar CACHE FILEPATH "")
set(CMAKE_RANLIB i686-w64-mingw32-ranlib CACHE FILEPATH "")

# Nothing of the build machine's own headers or libraries may leak in: only the cross
# toolchain's sysroot and the dependency prefix are searched.
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32 ${LENVARO_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The variable reaches try_compile projects too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LENVARO_WINDOWS_DEPS)
