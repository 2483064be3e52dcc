# Builds the library alone as a new user does: the toolchain file, no build
# type (CMake's default then: none for GCC, Debug for clang-cl), no option of
# the project's presets. Warnings must not be errors there, since the
# compiler's version and the build type are the user's.
# Run with cmake -P; inputs: SOURCE_DIR, WORK_DIR, GENERATOR, MAKE_PROGRAM,
# TOOLCHAIN.

include(${CMAKE_CURRENT_LIST_DIR}/package_steps.cmake)

package_fresh_work_dir()
set(library ${WORK_DIR}/library)
# CMake takes a build type from the environment as well.
unset(ENV{CMAKE_BUILD_TYPE})
set(configure ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${library} -G ${GENERATOR}
    -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
    -DZORVEL_BUILD_TESTS=OFF -DZORVEL_BUILD_DEMO=OFF
    -DZORVEL_BUILD_BENCH=OFF)
if(MAKE_PROGRAM)
  list(APPEND configure -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM})
endif()
run("configuring the library alone" ${configure})
file(READ ${library}/compile_commands.json commands)
if(commands MATCHES "-Werror|/WX")
  message(FATAL_ERROR "warnings are errors in a build without the presets")
endif()
run("building the library alone" ${CMAKE_COMMAND} --build ${library}
    --target zorvel --parallel 2)
message("${run_output}")
