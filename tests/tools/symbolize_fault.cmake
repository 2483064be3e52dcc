# Runs the faulting program under the emulator, then the symbolizer on the
# report it left in events.log, and checks that the first frame names the
# faulting function at the faulting store and the second its caller at the
# call. Run with cmake -P; inputs: FAULT_EXE, FAULT_SOURCE, EMULATOR ('|'
# between its words), PYTHON, SYMBOLIZER, ADDR2LINE.
#
# The symbolizer gets no --addr2line: it must pick the binutils of the
# image's machine itself, found first in ADDR2LINE's directory. The i686
# addr2line cannot read a PE32+ image, so on x64 a wrong pick fails.

get_filename_component(fault_dir ${FAULT_EXE} DIRECTORY)
set(events_log ${fault_dir}/events.log)
file(REMOVE ${events_log})

string(REPLACE "|" ";" emulator "${EMULATOR}")
execute_process(COMMAND ${emulator} ${FAULT_EXE} RESULT_VARIABLE rc
                OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT out MATCHES "pid=([0-9]+) tid=([0-9]+) exit=1")
  message(FATAL_ERROR "the faulting program did not report (${rc}):\n${out}")
endif()
set(pid ${CMAKE_MATCH_1})
set(tid ${CMAKE_MATCH_2})

get_filename_component(binutils_dir ${ADDR2LINE} DIRECTORY)
execute_process(COMMAND ${CMAKE_COMMAND} -E env
                        "PATH=${binutils_dir}:$ENV{PATH}"
                        ${PYTHON} ${SYMBOLIZER} ${events_log} --pid ${pid}
                        --tid ${tid} --dir ${fault_dir}
                RESULT_VARIABLE rc OUTPUT_VARIABLE frames ERROR_VARIABLE err)
message("${frames}${err}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the symbolizer failed (${rc})")
endif()

# The source lines the two frames must point at.
function(marker_line text out)
  file(STRINGS ${FAULT_SOURCE} lines)
  set(number 0)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    string(FIND "${line}" "${text}" at)
    if(at GREATER_EQUAL 0)
      set(${out} ${number} PARENT_SCOPE)
      return()
    endif()
  endforeach()
  message(FATAL_ERROR "no '${text}' in ${FAULT_SOURCE}")
endfunction()
marker_line("marker: faulting store" store_line)
marker_line("marker: call site" call_line)

set(first "#0  0x[0-9A-F]+ tools_fault.exe 0001:[0-9A-F]+\n +tools_fault_here\\(int\\) at [^\n]*tools_fault.cpp:${store_line}\n")
set(second "#1  0x[0-9A-F]+ tools_fault.exe 0001:[0-9A-F]+\n +tools_fault_caller\\(\\) at [^\n]*tools_fault.cpp:${call_line}\n")
if(NOT frames MATCHES "Report of process ${pid}, thread ${tid}, ")
  message(FATAL_ERROR "not the report of process ${pid} thread ${tid}")
endif()
if(NOT frames MATCHES "${first}")
  message(FATAL_ERROR "frame 0 is not tools_fault_here at line ${store_line}")
endif()
if(NOT frames MATCHES "${second}")
  message(FATAL_ERROR "frame 1 is not tools_fault_caller at line ${call_line}")
endif()
