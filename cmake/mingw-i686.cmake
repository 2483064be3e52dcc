# Cross-build for 32-bit x86 Windows with MinGW-w64 (win32 thread model).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(ZORVEL_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
