# The mingw-w64 cross build with the compiler variant whose C++ library has std::mutex and
# std::thread (on winpthreads), which GoogleTest needs; linked statically, so that a test .exe
# runs under Wine with no DLL beside it. The tool's own release build keeps mingw-w64.cmake.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
set(CMAKE_C_COMPILER ${mingw_target}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw_target}-g++-posix)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
