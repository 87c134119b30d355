# Cross-compiles the Windows flavour with Debian's mingw-w64 (64-bit). The
# posix thread model is the one whose libstdc++ has std::thread and
# std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KILN_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KILN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KILN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KILN_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KILN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Programs run on the build machine through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
