# Cross-build for x86_64 Windows, MSVC ABI, with clang-cl and Wine's SDK.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(ZORVEL_TRIPLE x86_64-pc-windows-msvc)
set(ZORVEL_WINE_LIBS /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
include(${CMAKE_CURRENT_LIST_DIR}/clang-cl-common.cmake)
