# Cross-compiles for 64-bit Windows from Debian with MinGW-w64. The posix thread
# model is the one whose libstdc++ has std::thread, which Qt 6 needs.
#   cmake -S . -B build-windows --toolchain cmake/mingw-w64-x86_64.cmake -DCMAKE_PREFIX_PATH=<Qt for Windows>
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELKA_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELKA_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELKA_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${VELKA_MINGW}-windres)
set(CMAKE_AR ${VELKA_MINGW}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${VELKA_MINGW}-gcc-ranlib-posix CACHE FILEPATH "")

# Libraries and headers come from the MinGW sysroot and the Qt prefixes named
# on the command line only, never from the Linux host; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${VELKA_MINGW} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# moc, uic and rcc run on the host: Debian's own Qt tools of the same version.
set(QT_HOST_PATH /usr CACHE PATH "Host Qt for the build tools")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "Host Qt's CMake packages")

