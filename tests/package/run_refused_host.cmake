# A host of the other C++ ABI must be turned away at find_package with a
# message that names the build it should use instead. Installs the build,
# then configures the consumer with the other family's toolchain file.
# Run with cmake -P; inputs: BUILD_DIR, CONSUMER_DIR, WORK_DIR, GENERATOR,
# MAKE_PROGRAM, CONFIG, HOST_TOOLCHAIN, EXPECTED ('|' between the pieces the
# refusal must hold).

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
if(CONFIG)
  set(config --config ${CONFIG})
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR}
                        --prefix ${prefix} ${config}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed (${rc}):\n${out}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${CONSUMER_DIR}
                        -B ${WORK_DIR}/build -G ${GENERATOR}
                        -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}
                        -DCMAKE_BUILD_TYPE=${CONFIG}
                        -DCMAKE_PREFIX_PATH=${prefix}
                        -DCMAKE_TOOLCHAIN_FILE=${HOST_TOOLCHAIN}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
message("${out}")
if(rc EQUAL 0)
  message(FATAL_ERROR "a host of the other C++ ABI was accepted")
endif()
# CMake wraps long messages: compare with the blanks folded.
string(REGEX REPLACE "[ \t\r\n]+" " " folded "${out}")
string(REPLACE "|" ";" expected "${EXPECTED}")
foreach(piece IN LISTS expected)
  string(FIND "${folded}" "${piece}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "not in the refusal: ${piece}")
  endif()
endforeach()
