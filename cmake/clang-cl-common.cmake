# Shared part of the clang-cl toolchain files: the MSVC ABI (the C++
# exception runtime of vcruntime140.dll, the C runtime of ucrtbase.dll) with
# Wine's SDK headers and PE import libraries. The including file sets
# ZORVEL_TRIPLE, ZORVEL_WINE_LIBS and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER clang-cl-19)
set(CMAKE_CXX_COMPILER clang-cl-19)
set(CMAKE_C_COMPILER_TARGET ${ZORVEL_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${ZORVEL_TRIPLE})
set(CMAKE_LINKER lld-link-19)
set(CMAKE_AR llvm-lib-19)
set(CMAKE_RC_COMPILER llvm-rc-19)
set(CMAKE_MT llvm-mt-19)

# Tells the build that the image needs the Wine SDK shim
# (Common/src/wine_sdk_shim.cpp): Wine's SDK has no static CRT part.
set(ZORVEL_WINE_SDK ON)
set(ZORVEL_WINE_SDK_HEADERS /usr/include/wine/wine)

# Headers: Wine's only. /winsysroot to a missing folder keeps clang-cl from
# looking for a Visual Studio or Windows SDK. _UCRT selects the ucrtbase
# declarations (printf and friends inline over __stdio_common_*), as the
# runtime linked below. USE_COMPILER_EXCEPTIONS makes Wine's excpt.h leave
# __try, GetExceptionCode and friends to the compiler. The forced header
# renames inlines of Wine's winnt.h that clang-cl has as builtins.
set(_zorvel_cl_flags
    "/winsysroot ${CMAKE_CURRENT_LIST_DIR}/no-msvc-sdk"
    "-imsvc ${ZORVEL_WINE_SDK_HEADERS}/msvcrt"
    "-imsvc ${ZORVEL_WINE_SDK_HEADERS}/windows"
    "-D_UCRT -DUSE_COMPILER_EXCEPTIONS"
    "/FI${CMAKE_CURRENT_LIST_DIR}/clang-cl-wine.h")
list(JOIN _zorvel_cl_flags " " _zorvel_cl_flags)
set(CMAKE_C_FLAGS_INIT "${_zorvel_cl_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_zorvel_cl_flags}")
set(CMAKE_RC_FLAGS_INIT "/I ${ZORVEL_WINE_SDK_HEADERS}/windows")

# Libraries: CMake and the compiler name kernel32.lib etc.; Wine ships
# libkernel32.a. Links of the one name to the other, in the build tree.
set(_zorvel_lib_links ${CMAKE_BINARY_DIR}/wine-sdk-lib)
file(MAKE_DIRECTORY ${_zorvel_lib_links})
file(GLOB _zorvel_wine_libs ${ZORVEL_WINE_LIBS}/lib*.a)
foreach(_zorvel_lib IN LISTS _zorvel_wine_libs)
  get_filename_component(_zorvel_name ${_zorvel_lib} NAME_WE)
  string(REGEX REPLACE "^lib" "" _zorvel_name ${_zorvel_name})
  if(NOT EXISTS ${_zorvel_lib_links}/${_zorvel_name}.lib)
    file(CREATE_LINK ${_zorvel_lib} ${_zorvel_lib_links}/${_zorvel_name}.lib
         SYMBOLIC)
  endif()
endforeach()

# Link order, ahead of every library a target names: vcruntime140 before
# ucrtbase, whose Wine build also exports the C++ exception runtime that
# Windows has only in vcruntime140.dll; ntdll before kernel32 for
# __chkstk. /nodefaultlib: the objects ask for msvcrt.lib and oldnames.lib,
# the static CRT of Visual Studio, which does not exist here.
set(_zorvel_link_flags
    "/libpath:${_zorvel_lib_links} /nodefaultlib"
    "vcruntime140.lib ucrtbase.lib ntdll.lib")
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86")
  # Wine's import libraries are not SEH-marked: an image that links them
  # cannot carry a safe exception handler table.
  list(APPEND _zorvel_link_flags "/safeseh:no")
endif()
list(JOIN _zorvel_link_flags " " _zorvel_link_flags)
foreach(_zorvel_kind EXE SHARED MODULE)
  set(CMAKE_${_zorvel_kind}_LINKER_FLAGS_INIT "${_zorvel_link_flags}")
endforeach()
set(CMAKE_C_STANDARD_LIBRARIES "kernel32.lib" CACHE STRING "")
set(CMAKE_CXX_STANDARD_LIBRARIES "kernel32.lib" CACHE STRING "")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
