# Helpers that register tests with CTest. Every test runs headless.

# Adds a subdirectory only when it has a CMakeLists.txt, so that folders can land one at a time.
function(velnor_add_subdirectories)
    foreach(dir IN LISTS ARGN)
        if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
            add_subdirectory(${dir})
        endif()
    endforeach()
endfunction()

# velnor_add_qtest(NAME name SOURCES ... [LIBS ...] [LABELS ...] [TIMEOUT s] [ENV VAR=value ...])
# Builds a Qt Test executable and registers it under the offscreen platform.
function(velnor_add_qtest)
    cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE Qt5::Test ${T_LIBS})
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set(env QT_QPA_PLATFORM=offscreen
            VELNOR_SOURCE_DIR=${PROJECT_SOURCE_DIR}
            VELNOR_BINARY_DIR=${PROJECT_BINARY_DIR}
            ${T_ENV})
    if(VELNOR_SANITIZE)
        # Qt's own one-time allocations are not ours to chase, nor the vptr check inside Qt's web
        # engine classes (see the suppressions file); everything else stays on.
        list(APPEND env ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
                        UBSAN_OPTIONS=print_stacktrace=1:suppressions=${PROJECT_SOURCE_DIR}/tests/ubsan-qt.supp)
    endif()
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${env}" TIMEOUT ${T_TIMEOUT}
                                              LABELS "${T_LABELS}")
endfunction()

# velnor_add_fuzz_target(NAME name SOURCES ... [LIBS ...] [OPTIONS ...])
# Builds a libFuzzer target and registers a bounded run of it over its seed corpus
# (tests/fuzz/corpus/<name>) as a test labelled "fuzz". A crash or a hang fails the test.
# OPTIONS are further libFuzzer flags of the run (for example a smaller -malloc_limit_mb).
function(velnor_add_fuzz_target)
    cmake_parse_arguments(F "" "NAME" "SOURCES;LIBS;OPTIONS" ${ARGN})
    if(NOT VELNOR_FUZZ)
        return()
    endif()
    add_executable(${F_NAME} ${F_SOURCES})
    target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
    target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
    set_target_properties(${F_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/fuzz)
    list(JOIN F_OPTIONS " " options)
    set(work ${PROJECT_BINARY_DIR}/fuzz-work/${F_NAME})
    set(seeds ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus/${F_NAME})
    add_test(NAME ${F_NAME}
             COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
                     sh -c "mkdir -p '${work}' && exec \"$0\" -max_total_time=${VELNOR_FUZZ_SECONDS} -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 ${options} '${work}' '${seeds}'"
                     $<TARGET_FILE:${F_NAME}>)
    set_tests_properties(${F_NAME} PROPERTIES LABELS fuzz TIMEOUT 600)
endfunction()
