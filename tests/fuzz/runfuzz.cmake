# One short fuzz run for the suite: a fresh copy of the seed corpus (the repository's
# corpus is never written to), a time budget, and crash inputs kept beside the copy.
# A fixed seed and a fixed number of runs make the suite's pass reproducible; long runs with
# scripts/fuzz.sh explore freely.
#   cmake -DFUZZER=<binary> -DCORPUS=<seed dir> -DWORK=<scratch dir> -DSECONDS=<n> -DSEED=<n> -DRUNS=<n> -P runfuzz.cmake
foreach(var FUZZER CORPUS WORK SECONDS SEED RUNS)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "runfuzz.cmake needs -D${var}=...")
    endif()
endforeach()
if(NOT EXISTS ${FUZZER})
    message(FATAL_ERROR "${FUZZER} is missing: build the fuzz tree first (scripts/fuzz.sh build)")
endif()

file(REMOVE_RECURSE ${WORK}/corpus)
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/crashes)
file(GLOB seeds ${CORPUS}/*)
if(seeds)
    file(COPY ${seeds} DESTINATION ${WORK}/corpus)
endif()

execute_process(
    COMMAND ${FUZZER} -seed=${SEED} -runs=${RUNS} -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
            -artifact_prefix=${WORK}/crashes/ ${WORK}/corpus
    WORKING_DIRECTORY ${WORK}
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${FUZZER} failed (${result}); the input is in ${WORK}/crashes/")
endif()
