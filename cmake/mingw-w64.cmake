# Cross-compiles for 64-bit Windows with mingw-w64 from a Linux host:
#   cmake --preset windows && cmake --build --preset windows
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(mingw_target x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${mingw_target}-gcc)
set(CMAKE_CXX_COMPILER ${mingw_target}-g++)
set(CMAKE_RC_COMPILER ${mingw_target}-windres)

# Headers, libraries and packages come from the mingw-w64 sysroot only, never from the Linux
# host; programs (build tools) still come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${mingw_target})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
