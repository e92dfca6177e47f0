# Cross-build for 64-bit Windows with mingw-w64 (posix thread model, so std::thread and friends work).
# The runtime is linked statically: Twinfold.exe must run on a clean Windows without extra DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TWINFOLD_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TWINFOLD_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TWINFOLD_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TWINFOLD_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TWINFOLD_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -static also pulls in winpthread statically, which the posix thread model otherwise needs as a DLL.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests built here run under Wine.
find_program(TWINFOLD_WINE wine)
if(TWINFOLD_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TWINFOLD_WINE})
endif()
