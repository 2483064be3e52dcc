# The README's Visual Studio quick start, from the installed package alone:
# installs the build, writes the README's CMakeLists.txt beside its quick
# start, configures it with the toolchain file the install carries, builds
# it and runs it through run_quickstart.cmake.
# Run with cmake -P; inputs: BUILD_DIR, WORK_DIR, GENERATOR, MAKE_PROGRAM,
# CONFIG, TOOLCHAIN, PROJECT_FILE, QUICKSTART, EMULATOR, RUN_SCRIPT.

include(${CMAKE_CURRENT_LIST_DIR}/package_steps.cmake)

package_fresh_work_dir()
set(source ${WORK_DIR}/app)
file(MAKE_DIRECTORY ${source})
run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
    ${config})
file(COPY_FILE ${PROJECT_FILE} ${source}/CMakeLists.txt)
file(COPY_FILE ${QUICKSTART} ${source}/quickstart.cpp)
get_filename_component(toolchain ${TOOLCHAIN} NAME)
run("configuring the README's project" ${CMAKE_COMMAND} -S ${source}
    -B ${WORK_DIR}/build -G ${GENERATOR} -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}
    -DCMAKE_BUILD_TYPE=${CONFIG} -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_TOOLCHAIN_FILE=${prefix}/lib/cmake/zorvel/${toolchain})
run("building the README's project" ${CMAKE_COMMAND} --build
    ${WORK_DIR}/build ${config})
file(GLOB_RECURSE exe ${WORK_DIR}/build/app.exe)
if(NOT exe)
  message(FATAL_ERROR "no app.exe under ${WORK_DIR}/build")
endif()
# run_quickstart.cmake starts it from the directory above the exe.
file(MAKE_DIRECTORY ${WORK_DIR}/run/bin)
file(GLOB built ${WORK_DIR}/build/*.exe ${WORK_DIR}/build/*.dll)
file(COPY ${built} DESTINATION ${WORK_DIR}/run/bin)
run("running the README's quick start" ${CMAKE_COMMAND} -DEXE=${WORK_DIR}/run/bin/app.exe
    -DEMULATOR=${EMULATOR} -P ${RUN_SCRIPT})
