# Installs the build into a fresh prefix, configures and builds the consumer
# project against that prefix alone, runs it and checks what it printed.
# Run with cmake -P; inputs: BUILD_DIR, CONSUMER_DIR, WORK_DIR, GENERATOR,
# PLATFORM, MAKE_PROGRAM, TOOLCHAIN, CONFIG, VERSION, EMULATOR ('|' between
# its words).

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE out ${RUN_OPTIONS})
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
set(build ${WORK_DIR}/build)
if(CONFIG)
  set(config --config ${CONFIG})
endif()
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
    ${config})

set(configure ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${build} -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=${CONFIG}
    -DZORVEL_EXPECTED_VERSION=${VERSION})
if(PLATFORM)
  list(APPEND configure -A ${PLATFORM})
endif()
if(MAKE_PROGRAM)
  list(APPEND configure -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM})
endif()
if(TOOLCHAIN)
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
endif()
run("configuring the consumer" ${configure})

# The package must come from the install prefix, not from the build tree.
file(STRINGS ${build}/CMakeCache.txt found REGEX "^zorvel_DIR:")
if(NOT found STREQUAL "zorvel_DIR:PATH=${prefix}/lib/cmake/zorvel")
  message(FATAL_ERROR "package found elsewhere: ${found}")
endif()

run("building the consumer" ${CMAKE_COMMAND} --build ${build} ${config})

file(GLOB_RECURSE exe ${build}/consumer.exe)
if(NOT exe)
  message(FATAL_ERROR "no consumer.exe under ${build}")
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
