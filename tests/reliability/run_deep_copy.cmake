# Runs a host program from a copy whose path is longer than MAX_PATH, with
# the working directory "cwd" beside the copy's first directory. Wine starts
# such a program from the Unix side only: CreateProcess refuses its name.
# Run with cmake -P; inputs: HOST, BESIDE (files the copy needs beside it),
# WORK_DIR, EMULATOR, ARGS ('|' between the items of the last four).

foreach(input HOST WORK_DIR EMULATOR)
  if(NOT DEFINED ${input})
    message(FATAL_ERROR "run_deep_copy: ${input} not given")
  endif()
endforeach()
string(REPLACE "|" ";" beside "${BESIDE}")
string(REPLACE "|" ";" emulator "${EMULATOR}")
string(REPLACE "|" ";" args "${ARGS}")

file(REMOVE_RECURSE ${WORK_DIR})
string(REPEAT d 49 level)
set(deep ${WORK_DIR})
foreach(i RANGE 1 6)
  string(APPEND deep /${level})
endforeach()
file(MAKE_DIRECTORY ${deep} ${WORK_DIR}/cwd)
foreach(file IN LISTS HOST beside)
  get_filename_component(name ${file} NAME)
  file(CREATE_LINK ${file} ${deep}/${name} COPY_ON_ERROR)
endforeach()

get_filename_component(host_name ${HOST} NAME)
execute_process(COMMAND ${emulator} ${deep}/${host_name} ${args}
                WORKING_DIRECTORY ${WORK_DIR}/cwd RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the copy of ${host_name} failed: ${rc}")
endif()
