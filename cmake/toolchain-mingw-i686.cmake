# Cross build for 32-bit Windows with mingw-w64 (i686).
# TVK_MINGW_THREADS picks the compilers' thread model. The default, posix,
# carries std::thread/std::mutex, which GoogleTest needs; with -static the
# programs still import only Windows system DLLs (winpthreads is linked in).
# The stub itself is built with win32, which links no winpthreads (see
# cmake/product_stub.cmake).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

if(NOT TVK_MINGW_THREADS)
    set(TVK_MINGW_THREADS posix)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TVK_MINGW_THREADS)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-${TVK_MINGW_THREADS})
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-${TVK_MINGW_THREADS})
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
