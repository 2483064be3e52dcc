# Steps the package tests share; included by the run_*.cmake scripts, which
# run with cmake -P and take WORK_DIR, CONFIG, CONSUMER_DIR, GENERATOR and
# MAKE_PROGRAM as inputs.

# Runs a command that must succeed; its output goes to run_output.
# RUN_OPTIONS, when set, goes to execute_process as well.
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE out ${RUN_OPTIONS})
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

# An empty WORK_DIR, the install prefix inside it, and the --config option
# of CONFIG.
macro(package_fresh_work_dir)
  set(prefix ${WORK_DIR}/prefix)
  set(config "")
  if(CONFIG)
    set(config --config ${CONFIG})
  endif()
  file(REMOVE_RECURSE ${WORK_DIR})
  file(MAKE_DIRECTORY ${WORK_DIR})
endmacro()

# The consumer configured against the prefix with a host's toolchain file
# must fail at find_package, with a message that holds every piece (CMake
# wraps long messages: they are compared with the blanks folded). host
# names the kind of host in the failure.
function(expect_refusal host toolchain)
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${CONSUMER_DIR}
                          -B ${WORK_DIR}/build -G ${GENERATOR}
                          -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}
                          -DCMAKE_BUILD_TYPE=${CONFIG}
                          -DCMAKE_PREFIX_PATH=${prefix}
                          -DCMAKE_TOOLCHAIN_FILE=${toolchain}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  message("${out}")
  if(rc EQUAL 0)
    message(FATAL_ERROR "${host} was accepted")
  endif()
  string(REGEX REPLACE "[ \t\r\n]+" " " folded "${out}")
  foreach(piece IN LISTS ARGN)
    string(FIND "${folded}" "${piece}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "not in the refusal: ${piece}")
    endif()
  endforeach()
endfunction()
