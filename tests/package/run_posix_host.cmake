# A host compiled by the posix-thread variant of MinGW-w64 must be turned
# away at find_package, with the toolchain the library was built with named,
# before it is handed a runtime it cannot start with. Installs the build,
# then configures the consumer with the installed toolchain file whose
# compilers are swapped for their -posix twins.
# Run with cmake -P; inputs: BUILD_DIR, CONSUMER_DIR, WORK_DIR, GENERATOR,
# MAKE_PROGRAM, TOOLCHAIN, CONFIG, TRIPLE.


include(${CMAKE_CURRENT_LIST_DIR}/package_steps.cmake)

package_fresh_work_dir()
run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
    ${config})

get_filename_component(toolchain ${TOOLCHAIN} NAME)
set(toolchain ${prefix}/lib/cmake/zorvel/${toolchain})
file(WRITE ${WORK_DIR}/posix.cmake
"include(${toolchain})
set(CMAKE_C_COMPILER ${TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TRIPLE}-g++-posix)
")
expect_refusal("a posix-thread host" ${WORK_DIR}/posix.cmake
  "zorvel.dll was built with MinGW-w64 GNU 12."
  ", win32 thread model, and the package ships that compiler's runtime"
  "g++-posix uses the posix thread model, and a program it builds cannot start with them."
  "-DCMAKE_TOOLCHAIN_FILE=${toolchain}")
