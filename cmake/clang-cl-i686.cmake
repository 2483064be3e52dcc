# Cross-build for 32-bit x86 Windows, MSVC ABI, with clang-cl and Wine's SDK.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(ZORVEL_TRIPLE i686-pc-windows-msvc)
# Where the i386 package could not be installed, scripts/setup.sh unpacks
# its import libraries into the second folder.
set(ZORVEL_WINE_LIBS /usr/lib/i386-linux-gnu/wine/i386-windows)
if(NOT EXISTS ${ZORVEL_WINE_LIBS}/libvcruntime140.a)
  set(ZORVEL_WINE_LIBS /opt/zorvel/wine-sdk/i386-windows)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/clang-cl-common.cmake)
