# Cross-compiling korvane.exe for 64-bit Windows with Debian's mingw-w64 (POSIX threads flavour,
# for std::thread and std::mutex). KORVANE_WINDOWS_PREFIX is where scripts/windows-deps.sh put
# the static FreeRDP, WinPR, OpenSSL, OpenH264 and zlib.
#
#   cmake -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
#         -DKORVANE_WINDOWS_PREFIX=$(scripts/windows-deps.sh)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(KORVANE_WINDOWS_PREFIX "" CACHE PATH "where scripts/windows-deps.sh installed korvane's Windows dependencies")
# Try-compiles configure their own projects: hand them the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KORVANE_WINDOWS_PREFIX)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${KORVANE_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
