# Cross-building tonvell-cli.exe for 64-bit Windows with Debian's mingw-w64
# (the posix thread model, for std::thread). Used by `make windows`.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TONVELL_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${TONVELL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TONVELL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TONVELL_MINGW_PREFIX}-windres)

# Libraries and headers come from the mingw-w64 tree only; the few
# header-only libraries taken from the build machine are named one by one
# (TONVELL_HEADER_DIR), never /usr/include as a whole.
set(CMAKE_FIND_ROOT_PATH /usr/${TONVELL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One static program: no libstdc++, libgcc or winpthread DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# GCC 12 warns wrongly of overlapping copies inside std::string (fixed in 13).
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict")

# The tests run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
