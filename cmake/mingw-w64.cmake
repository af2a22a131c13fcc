# Cross build for 64-bit Windows with Debian's mingw-w64 (the -posix variant, which has std::thread).
# Everything is linked statically, so zel.exe runs on a bare Windows. ZEL_WIN_PREFIX names the
# folder where the cross-built expat and GoogleTest were installed (scripts/build-windows.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZEL_MINGW x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${ZEL_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZEL_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${ZEL_MINGW}-windres)
set(CMAKE_MC_COMPILER ${ZEL_MINGW}-windmc)

set(CMAKE_FIND_ROOT_PATH /usr/${ZEL_MINGW})
if(DEFINED ENV{ZEL_WIN_PREFIX})
  list(APPEND CMAKE_FIND_ROOT_PATH $ENV{ZEL_WIN_PREFIX})
endif()
if(ZEL_WIN_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH ${ZEL_WIN_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static libraries only: the import library of zlib would make zel.exe need zlib1.dll.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# The tests run under Wine, in a private prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/windows/wine-run.sh)
