# Shared part of the MinGW-w64 toolchain files (win32 thread model). The
# including file sets ZORVEL_TRIPLE and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${ZORVEL_TRIPLE}-gcc-win32)
set(CMAKE_CXX_COMPILER ${ZORVEL_TRIPLE}-g++-win32)
set(CMAKE_RC_COMPILER ${ZORVEL_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${ZORVEL_TRIPLE}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${ZORVEL_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The runtime DLLs that every binary of the build needs beside it.
set(ZORVEL_RUNTIME_DIR /usr/lib/gcc/${ZORVEL_TRIPLE}/12-win32)
