# Cross-build for 32-bit x86 Windows, MSVC ABI, with clang-cl and Wine's SDK.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(ZORVEL_TRIPLE i686-pc-windows-msvc)
set(ZORVEL_WINE_LIBS /usr/lib/i386-linux-gnu/wine/i386-windows)
include(${CMAKE_CURRENT_LIST_DIR}/clang-cl-common.cmake)
