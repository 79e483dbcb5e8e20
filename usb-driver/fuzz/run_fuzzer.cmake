# Runs one libFuzzer harness, in one of three modes:
#   replay  every file of CORPUS once, as regression cases
#   fuzz    from a fresh WORK corpus seeded with CORPUS, with a fixed SEED
#           for a fixed number of RUNS
#   long    for FUZZ_SECONDS seconds (from the environment, 300 when
#           unset), WORK kept across runs; the output goes to LOG, of which
#           the summary or, after a failure, the end is printed
# Inputs that crash, leak or hang land in ARTIFACTS; each one found belongs
# in CORPUS afterwards, as a regression case.
#
#   cmake -DFUZZER=... -DMODE=... -DCORPUS=... -DARTIFACTS=... -DMAX_LEN=...
#         [-DWORK=...] [-DSEED=... -DRUNS=...] [-DLOG=...] -P run_fuzzer.cmake

foreach(required FUZZER MODE CORPUS ARTIFACTS MAX_LEN)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "run_fuzzer.cmake needs -D${required}=...")
  endif()
endforeach()

file(MAKE_DIRECTORY ${ARTIFACTS})
# One input runs in milliseconds; ten seconds means it hangs.
set(common -timeout=10 -max_len=${MAX_LEN} -artifact_prefix=${ARTIFACTS}/)

if(MODE STREQUAL "replay")
  file(GLOB inputs LIST_DIRECTORIES false ${CORPUS}/*)
  list(LENGTH inputs count)
  if(count EQUAL 0)
    message(FATAL_ERROR "No corpus in ${CORPUS}")
  endif()
  message(STATUS "Replaying ${count} inputs of ${CORPUS}")
  execute_process(COMMAND ${FUZZER} ${common} ${inputs} RESULT_VARIABLE result)
elseif(MODE STREQUAL "fuzz")
  # Fresh each time, so that every run starts from the committed corpus.
  file(REMOVE_RECURSE ${WORK})
  file(MAKE_DIRECTORY ${WORK})
  execute_process(
    COMMAND ${FUZZER} ${common} -seed=${SEED} -runs=${RUNS} -print_final_stats=1 ${WORK} ${CORPUS}
    RESULT_VARIABLE result)
elseif(MODE STREQUAL "long")
  set(seconds 300)
  if(DEFINED ENV{FUZZ_SECONDS})
    set(seconds $ENV{FUZZ_SECONDS})
  endif()
  file(MAKE_DIRECTORY ${WORK})
  message(STATUS "Fuzzing ${FUZZER} for ${seconds} s; new inputs go to ${WORK}")
  execute_process(
    COMMAND ${FUZZER} ${common} -max_total_time=${seconds} -print_final_stats=1 ${WORK} ${CORPUS}
    RESULT_VARIABLE result OUTPUT_FILE ${LOG} ERROR_FILE ${LOG})
  # The whole output is long (every new input is a line): the summary when
  # all went well, the end with the report and the input's name otherwise.
  if(result EQUAL 0)
    execute_process(COMMAND grep -a -E "INITED|DONE|^stat::" ${LOG})
  else()
    execute_process(COMMAND tail -n 60 ${LOG})
  endif()
else()
  message(FATAL_ERROR "Unknown MODE ${MODE}: replay, fuzz or long")
endif()

if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${result}); the input is in ${ARTIFACTS}")
endif()
