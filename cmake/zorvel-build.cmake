# Warnings, frame pointers and the runtime DLLs shared by every target.

# MSVC: /EHs, not CMake's default /EHsc. The exported extern "C" functions
# throw, and /EHsc lets the compiler assume they do not.
if(MSVC)
  string(REPLACE "/EHsc" "/EHs" CMAKE_CXX_FLAGS "${CMAKE_CXX_FLAGS}")
endif()

# Warnings as errors only with ZORVEL_WERROR (top-level CMakeLists.txt).
function(zorvel_warnings target)
  if(MSVC)
    set(werror /WX)
    target_compile_options(${target} PRIVATE /W4 /Oy-
                                             $<$<COMPILE_LANGUAGE:CXX>:/EHs>)
    target_compile_definitions(${target} PRIVATE _CRT_SECURE_NO_WARNINGS)
  else()
    set(werror -Werror)
    target_compile_options(${target} PRIVATE -Wall -Wextra
                                             -fno-omit-frame-pointer)
  endif()
  if(ZORVEL_WERROR)
    target_compile_options(${target} PRIVATE ${werror})
  endif()
endfunction()

# Writes a generated file only when its text changed, so that a re-run of
# CMake does not rebuild what depends on it.
function(zorvel_write_if_changed path text)
  file(WRITE ${path}.new "${text}")
  file(COPY_FILE ${path}.new ${path} ONLY_IF_DIFFERENT)
  file(REMOVE ${path}.new)
endfunction()

# The shared MinGW runtime: C++ exceptions must cross the DLL boundary, so
# nothing links libgcc or libstdc++ statically. Its DLLs go beside every
# binary of the build tree.
# i686 unwinds with DWARF tables, x86_64 with SEH: each has its own libgcc.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(ZORVEL_ARCH x64)
  set(ZORVEL_LIBGCC libgcc_s_seh-1.dll)
else()
  set(ZORVEL_ARCH i686)
  set(ZORVEL_LIBGCC libgcc_s_dw2-1.dll)
endif()
if(MINGW AND DEFINED ZORVEL_RUNTIME_DIR)
  set(ZORVEL_RUNTIME_DLLS ${ZORVEL_RUNTIME_DIR}/${ZORVEL_LIBGCC}
                          ${ZORVEL_RUNTIME_DIR}/libstdc++-6.dll)
  file(COPY ${ZORVEL_RUNTIME_DLLS} DESTINATION ${CMAKE_BINARY_DIR}/bin)
endif()

# Tests and the demo run under the Wine of their architecture, with a private
# prefix in the build tree.
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      env ZORVEL_BUILD_DIR=${CMAKE_BINARY_DIR} ZORVEL_WINE_ARCH=${ZORVEL_ARCH}
      ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh CACHE STRING "" FORCE)
endif()

# The fourth part of the version resource's numbers.
set(ZORVEL_VERSION_TWEAK 0)
if(PROJECT_VERSION_TWEAK)
  set(ZORVEL_VERSION_TWEAK ${PROJECT_VERSION_TWEAK})
endif()
