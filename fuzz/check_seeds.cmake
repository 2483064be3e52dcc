# Writes the seeds afresh and compares them with the corpus in the tree.
file(REMOVE_RECURSE ${OUT})
execute_process(COMMAND ${SEEDS} ${OUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "fuzz_seeds failed: ${status}")
endif()
execute_process(COMMAND diff -r ${OUT} ${TREE} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "The seed corpus is not what the tables give; "
                      "renew it: build/native/fuzz/fuzz_seeds fuzz/corpus")
endif()
