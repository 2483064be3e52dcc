# Install tree for hosts: bin/ (zorvel.dll and the compiler runtime it needs),
# lib/ (the import library), include/zorvel.h and the CMake package in
# lib/cmake/zorvel. Included from Common/CMakeLists.txt, after the targets.

include(CMakePackageConfigHelpers)
set(ZORVEL_PACKAGE_DIR lib/cmake/zorvel)

if(MSVC)
  install(TARGETS zorvel RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
  install(FILES $<TARGET_PDB_FILE:zorvel> DESTINATION bin OPTIONAL)
  set(ZORVEL_PACKAGE_IMPLIB lib/zorvel.lib)
  set(ZORVEL_PACKAGE_MINGW FALSE)
  set(ZORVEL_PACKAGE_COMPILER "MSVC ${CMAKE_CXX_COMPILER_VERSION}")
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
