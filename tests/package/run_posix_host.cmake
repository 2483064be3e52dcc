# A host compiled by the posix-thread variant of MinGW-w64 must be turned
# away at find_package, with the toolchain the library was built with named,
# before it is handed a runtime it cannot start with. Installs the build,
# then configures the consumer with the installed toolchain file whose
# compilers are swapped for their -posix twins.
# Run with cmake -P; inputs: BUILD_DIR, CONSUMER_DIR, WORK_DIR, GENERATOR,
# MAKE_PROGRAM, TOOLCHAIN, CONFIG, TRIPLE.

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

get_filename_component(toolchain ${TOOLCHAIN} NAME)
set(toolchain ${prefix}/lib/cmake/zorvel/${toolchain})
file(WRITE ${WORK_DIR}/posix.cmake
"include(${toolchain})
set(CMAKE_C_COMPILER ${TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TRIPLE}-g++-posix)
")
execute_process(COMMAND ${CMAKE_COMMAND} -S ${CONSUMER_DIR}
                        -B ${WORK_DIR}/build -G ${GENERATOR}
                        -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}
                        -DCMAKE_BUILD_TYPE=${CONFIG}
                        -DCMAKE_PREFIX_PATH=${prefix}
                        -DCMAKE_TOOLCHAIN_FILE=${WORK_DIR}/posix.cmake
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
message("${out}")
if(rc EQUAL 0)
  message(FATAL_ERROR "a posix-thread host was accepted")
endif()
# CMake wraps long messages: compare with the blanks folded.
string(REGEX REPLACE "[ \t\r\n]+" " " folded "${out}")
foreach(expected
    "zorvel.dll was built with MinGW-w64 GNU 12."
    ", win32 thread model, and the package ships that compiler's runtime"
    "g++-posix uses the posix thread model, and a program it builds cannot start with them."
    "-DCMAKE_TOOLCHAIN_FILE=${toolchain}")
  string(FIND "${folded}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "not in the refusal: ${expected}")
  endif()
endforeach()
