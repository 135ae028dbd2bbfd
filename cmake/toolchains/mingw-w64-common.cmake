# Shared part of the MinGW-w64 cross toolchains: Debian's compilers with the POSIX thread model
# (the win32 model of GCC 12 has no std::mutex or std::call_once). The including file sets
# MORVANEL_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${MORVANEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MORVANEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MORVANEL_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${MORVANEL_MINGW_TRIPLE}-objdump CACHE FILEPATH "objdump for the target's PE files")

set(CMAKE_FIND_ROOT_PATH /usr/${MORVANEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
