# A host of the other C++ ABI must be turned away at find_package with a
# message that names the build it should use instead. Installs the build,
# then configures the consumer with the other family's toolchain file.
# Run with cmake -P; inputs: BUILD_DIR, CONSUMER_DIR, WORK_DIR, GENERATOR,
# MAKE_PROGRAM, CONFIG, HOST_TOOLCHAIN, EXPECTED ('|' between the pieces the
# refusal must hold).


include(${CMAKE_CURRENT_LIST_DIR}/package_steps.cmake)

package_fresh_work_dir()
run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
    ${config})
string(REPLACE "|" ";" expected "${EXPECTED}")
expect_refusal("a host of the other C++ ABI" ${HOST_TOOLCHAIN} ${expected})
