# The same Windows sources as 64-bit PE programs (mingw-w64 x86_64), run under
# 64-bit Wine: the real Windows operations in seconds, for quick runs while
# working. The product itself is the i686 build, whose own tests count.
# TVK_MINGW_THREADS picks the thread model as in toolchain-mingw-i686.cmake.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

if(NOT TVK_MINGW_THREADS)
    set(TVK_MINGW_THREADS posix)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TVK_MINGW_THREADS)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-${TVK_MINGW_THREADS})
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-${TVK_MINGW_THREADS})
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
