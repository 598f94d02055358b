# Shared part of the MinGW-w64 toolchain files; HOV_MINGW_TRIPLE is set by the caller.
set(CMAKE_C_COMPILER ${HOV_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${HOV_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${HOV_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${HOV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(HOV_OBJDUMP ${HOV_MINGW_TRIPLE}-objdump)
# Everything links statically so hov.dll and the programs need no MinGW DLL beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
# C99 printf behaviour (%lld, truncating vsnprintf) instead of the old system runtime's.
set(CMAKE_C_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")
set(CMAKE_CXX_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")
