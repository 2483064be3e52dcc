# Runs the README's quick start and checks that it did what its comments
# say: attached, wrote its lines to the streams and files, and caught the
# CError it raised with the place it recorded.
# Run with cmake -P; inputs: EXE, EMULATOR ('|' between its words).

get_filename_component(dir ${EXE} DIRECTORY)
file(REMOVE_RECURSE ${dir}/logs)
string(REPLACE "|" ";" emulator "${EMULATOR}")
execute_process(COMMAND ${emulator} ${EXE} WORKING_DIRECTORY ${dir}/..
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("stdout:\n${out}stderr:\n${err}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the quick start ended with ${rc}")
endif()

set(started "V: [^\n]*\\([0-9]+:[0-9]+:MAIN\\): started with 4 workers\r?\n")
set(bad_frame "E: [^\n]*:MAIN\\): Running [^\n]*: Error: client 7 sent a bad frame\r?\n")
set(caught "W: [^\n]*:MAIN\\): Running [^\n]*: Warning: caught: bad value 42 \\([^\n]*quickstart.cpp at [1-9][0-9]*\\)\r?\n")
# Started from the directory above the exe: relative names resolve beside
# the exe.
file(READ ${dir}/logs/app-events.log events)
file(READ ${dir}/logs/app-errors.log errors)

function(expect where text)
  foreach(line IN LISTS ARGN)
    if(NOT text MATCHES "${${line}}")
      message(FATAL_ERROR "${where}: no line matching ${${line}}")
    endif()
  endforeach()
endfunction()
expect(stdout "${out}" started bad_frame caught)
expect(stderr "${err}" bad_frame caught)
expect(app-events.log "${events}" started bad_frame caught)
expect(app-errors.log "${errors}" bad_frame caught)
if(err MATCHES "${started}" OR errors MATCHES "${started}")
  message(FATAL_ERROR "the event reached the errors channel")
endif()
