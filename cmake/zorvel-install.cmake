# Install tree for hosts: bin/ (zorvel.dll and the compiler runtime it needs),
# lib/ (the import library), include/zorvel.h, the CMake package with the
# toolchain file of the build in lib/cmake/zorvel, the docs in
# share/doc/zorvel and the symbolizer in share/zorvel/tools. Included from
# Common/CMakeLists.txt, after the targets.

include(CMakePackageConfigHelpers)
set(ZORVEL_PACKAGE_DIR lib/cmake/zorvel)

if(MSVC)
  install(TARGETS zorvel RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
  install(FILES $<TARGET_PDB_FILE:zorvel> DESTINATION bin OPTIONAL)
  set(ZORVEL_PACKAGE_IMPLIB lib/zorvel.lib)
  set(ZORVEL_PACKAGE_MINGW FALSE)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    set(ZORVEL_PACKAGE_COMPILER
        "clang-cl ${CMAKE_CXX_COMPILER_VERSION} (MSVC ABI: vcruntime140, ucrtbase)")
  else()
    set(ZORVEL_PACKAGE_COMPILER "MSVC ${CMAKE_CXX_COMPILER_VERSION}")
  endif()
else()
  # The linker's own import library is unusable (see above): ship dlltool's.
  install(FILES $<TARGET_FILE:zorvel> DESTINATION bin)
  install(FILES ${IMPORT_LIB} DESTINATION lib)
  set(ZORVEL_PACKAGE_IMPLIB lib/libzorvel.dll.a)
  set(ZORVEL_PACKAGE_MINGW TRUE)
  set(ZORVEL_PACKAGE_COMPILER
      "MinGW-w64 ${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}")
endif()
install(FILES ${PROJECT_SOURCE_DIR}/include/zorvel.h DESTINATION include)
# The README's links into docs/ hold in the installed copy too.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/zorvel)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION share/doc/zorvel/docs
        FILES_MATCHING PATTERN "*.md")
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/symbolize.py
        DESTINATION share/zorvel/tools)

# The thread model of the runtime the package ships: the libstdc++ of one
# model cannot start a host built for the other.
set(ZORVEL_PACKAGE_THREADS "")
if(MINGW)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -v
                  OUTPUT_VARIABLE compiler_info ERROR_VARIABLE compiler_info)
  if(compiler_info MATCHES "Thread model: ([A-Za-z0-9_]+)")
    set(ZORVEL_PACKAGE_THREADS ${CMAKE_MATCH_1})
    string(APPEND ZORVEL_PACKAGE_COMPILER
           ", ${ZORVEL_PACKAGE_THREADS} thread model")
  endif()
endif()
# A host builds with the toolchain file the library was built with; the
# package carries it when it is one of the project's.
set(ZORVEL_PACKAGE_TOOLCHAIN "")
if(CMAKE_TOOLCHAIN_FILE)
  get_filename_component(toolchain ${CMAKE_TOOLCHAIN_FILE} ABSOLUTE)
  get_filename_component(toolchain_dir ${toolchain} DIRECTORY)
  if(toolchain_dir STREQUAL "${PROJECT_SOURCE_DIR}/cmake")
    get_filename_component(ZORVEL_PACKAGE_TOOLCHAIN ${toolchain} NAME)
    # The toolchain file includes the shared part of its family.
    if(ZORVEL_WINE_SDK)
      set(companions clang-cl-common.cmake clang-cl-wine.h)
    else()
      set(companions mingw-common.cmake)
    endif()
    list(TRANSFORM companions PREPEND ${PROJECT_SOURCE_DIR}/cmake/)
    install(FILES ${toolchain} ${companions} DESTINATION ${ZORVEL_PACKAGE_DIR})
  endif()
endif()
# i686 reports walk the frame-pointer chain: GCC hosts keep frame pointers.
set(ZORVEL_PACKAGE_FRAME_POINTERS FALSE)
if(MINGW AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(ZORVEL_PACKAGE_FRAME_POINTERS TRUE)
endif()

# Wine's SDK lacks what Visual Studio's static CRT part gives every image: a
# host built with the same toolchain file compiles the shim, with its entry
# point, from the package.
if(ZORVEL_WINE_SDK)
  set(host_shim ${CMAKE_CURRENT_BINARY_DIR}/zorvel_host_shim.cpp)
  zorvel_write_if_changed(${host_shim}
    "// The SDK shim of an executable host (see wine_sdk_shim.cpp).\n#define ZORVEL_SHIM_EXE\n#include \"wine_sdk_shim.cpp\"\n")
  install(FILES ${host_shim} ${PROJECT_SOURCE_DIR}/Common/src/wine_sdk_shim.cpp
          DESTINATION ${ZORVEL_PACKAGE_DIR})
endif()

set(ZORVEL_PACKAGE_RUNTIME "")
foreach(dll IN LISTS ZORVEL_RUNTIME_DLLS)
  install(FILES ${dll} DESTINATION bin)
  get_filename_component(name ${dll} NAME)
  list(APPEND ZORVEL_PACKAGE_RUNTIME ${name})
endforeach()

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/zorvelConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/zorvelConfig.cmake
  INSTALL_DESTINATION ${ZORVEL_PACKAGE_DIR})
# The version file also turns away a host of another pointer size.
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/zorvelConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zorvelConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/zorvelConfigVersion.cmake
        DESTINATION ${ZORVEL_PACKAGE_DIR})
include(${PROJECT_SOURCE_DIR}/cmake/zorvel-install-logtools.cmake)
