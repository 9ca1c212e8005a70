# 64-bit Windows with Debian's MinGW-w64 (POSIX thread model, for std::thread
# and friends); test programs run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# One self-contained .exe each: with -static only Windows' own DLLs are
# imported (no libstdc++, libgcc or winpthread DLL to ship).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# ctest, test discovery and custom commands run target programs through
# this.  WINEPREFIX comes from the environment (scripts/wine-env.sh).
set(CMAKE_CROSSCOMPILING_EMULATOR env;WINEDEBUG=-all;wine)
