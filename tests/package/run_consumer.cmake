# Installs the build into a fresh prefix, configures and builds the consumer
# project against that prefix alone (with the toolchain file the prefix
# carries, as a host does), runs it and checks what it printed.
# Run with cmake -P; inputs: BUILD_DIR, CONSUMER_DIR, WORK_DIR, GENERATOR,
# PLATFORM, MAKE_PROGRAM, TOOLCHAIN, CONFIG, VERSION, EMULATOR ('|' between
# its words), FRAME_POINTERS (the host must get -fno-omit-frame-pointer),
# MSVC_HOST (the host must get /EHs), IMAGE_CHECK (optional: a command, '|'
# between its words, that checks the built exe given as its last word).
# With SOURCE_DIR, the prefix comes from a build of the library alone from
# that source tree instead of from BUILD_DIR.

include(${CMAKE_CURRENT_LIST_DIR}/package_steps.cmake)

package_fresh_work_dir()
set(build ${WORK_DIR}/build)

# Generator, platform and make program of the build, for a project at $1
# built in $2.
function(configure_command var source binary)
  set(command ${CMAKE_COMMAND} -S ${source} -B ${binary} -G ${GENERATOR}
      -DCMAKE_BUILD_TYPE=${CONFIG})
  if(PLATFORM)
    list(APPEND command -A ${PLATFORM})
  endif()
  if(MAKE_PROGRAM)
    list(APPEND command -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM})
  endif()
  set(${var} ${command} PARENT_SCOPE)
endfunction()

if(SOURCE_DIR)
  set(library ${WORK_DIR}/library)
  configure_command(configure ${SOURCE_DIR} ${library})
  if(TOOLCHAIN)
    list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
  endif()
  run("configuring the library alone" ${configure} -DZORVEL_BUILD_TESTS=OFF
      -DZORVEL_BUILD_DEMO=OFF -DZORVEL_BUILD_BENCH=OFF)
  run("building the library alone" ${CMAKE_COMMAND} --build ${library}
      ${config} --parallel 2)
  set(BUILD_DIR ${library})
endif()
run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
    ${config})
# Besides what the consumer uses: the docs and the symbolizer.
foreach(file share/doc/zorvel/README.md share/doc/zorvel/docs/README.md
             share/doc/zorvel/docs/crash-reports.md
             share/zorvel/tools/symbolize.py)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

configure_command(configure ${CONSUMER_DIR} ${build})
list(APPEND configure -DCMAKE_PREFIX_PATH=${prefix}
     -DZORVEL_EXPECTED_VERSION=${VERSION} -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)
if(TOOLCHAIN)
  get_filename_component(toolchain ${TOOLCHAIN} NAME)
  set(toolchain ${prefix}/lib/cmake/zorvel/${toolchain})
  if(NOT EXISTS ${toolchain})
    message(FATAL_ERROR "the install carries no toolchain file ${toolchain}")
  endif()
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${toolchain})
endif()
run("configuring the consumer" ${configure})

# The package must come from the install prefix, not from the build tree.
file(STRINGS ${build}/CMakeCache.txt found REGEX "^zorvel_DIR:")
if(NOT found STREQUAL "zorvel_DIR:PATH=${prefix}/lib/cmake/zorvel")
  message(FATAL_ERROR "package found elsewhere: ${found}")
endif()

run("building the consumer" ${CMAKE_COMMAND} --build ${build} ${config})

# The crash report's frame walk needs the host's frame pointers.
if(EXISTS ${build}/compile_commands.json)
  file(READ ${build}/compile_commands.json commands)
  string(FIND "${commands}" "-fno-omit-frame-pointer" at)
  if(FRAME_POINTERS AND at EQUAL -1)
    message(FATAL_ERROR "the consumer was compiled without frame pointers:\n"
                        "${commands}")
  elseif(NOT FRAME_POINTERS AND NOT at EQUAL -1)
    message(FATAL_ERROR "frame pointers forced on a host that needs none")
  endif()
  # MSVC ABI: /EHc- after CMake's /EHsc, which lets the compiler drop a
  # catch around the library's extern "C" calls.
  string(FIND "${commands}" "/EHc-" at)
  if(MSVC_HOST AND at EQUAL -1)
    message(FATAL_ERROR "the consumer was compiled without /EHs:\n${commands}")
  endif()
endif()

file(GLOB_RECURSE exe ${build}/consumer.exe)
if(NOT exe)
  message(FATAL_ERROR "no consumer.exe under ${build}")
endif()
if(IMAGE_CHECK)
  string(REPLACE "|" ";" image_check "${IMAGE_CHECK}")
  run("checking the consumer's image" ${image_check} ${exe})
  message("${run_output}")
endif()

# Started from a directory without DLLs: only those beside the exe count.
string(REPLACE "|" ";" emulator "${EMULATOR}")
set(RUN_OPTIONS WORKING_DIRECTORY ${WORK_DIR})
run("running the consumer" ${emulator} ${exe})
message("${run_output}")

set(error_line "caught CError code=0 file=consumer.cpp line=([0-9]+) placed=([0-9]+) message=raised 42 by the consumer\r?\n")
if(NOT run_output MATCHES "${error_line}")
  message(FATAL_ERROR "CError not reported as raised")
endif()
if(NOT CMAKE_MATCH_1 EQUAL CMAKE_MATCH_2)
  message(FATAL_ERROR "CError line ${CMAKE_MATCH_1}, placed at ${CMAKE_MATCH_2}")
endif()
foreach(expected "consumer event 7\r?\n"
                 "caught CEmptyError code=5 message=coded failure\r?\n")
  if(NOT run_output MATCHES "${expected}")
    message(FATAL_ERROR "missing from the output: ${expected}")
  endif()
endforeach()
