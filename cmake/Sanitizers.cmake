# Sanitized and fuzzing builds (clang).
#
# CORRIVO_SANITIZE builds everything with AddressSanitizer and UndefinedBehaviorSanitizer.
# CORRIVO_FUZZ adds libFuzzer's coverage instrumentation to everything and builds the
# fuzz targets of fuzz/; since those link the core, it implies the sanitizers too. Both
# may be on in one build directory (scripts/test.sh does so).
#
# The flags go on corrivo_common, which every target of the project links, so that the
# core, the tests and the tools the tests run agree on the runtime. Qt itself comes
# uninstrumented from Debian: faults inside Qt are seen only where they pass through
# instrumented code or the intercepted C library.
option(CORRIVO_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(CORRIVO_FUZZ "Build the libFuzzer targets (clang only; implies the sanitizers)" OFF)

if(NOT CORRIVO_SANITIZE AND NOT CORRIVO_FUZZ)
    return()
endif()

if(CORRIVO_FUZZ AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "CORRIVO_FUZZ needs clang (libFuzzer): configure with -DCMAKE_CXX_COMPILER=clang++")
endif()

set(corrivo_sanitizers address,undefined)
if(CORRIVO_FUZZ)
    # fuzzer-no-link: the coverage feedback without libFuzzer's main; only the fuzz
    # targets link the fuzzer itself.
    target_compile_options(corrivo_common INTERFACE -fsanitize=fuzzer-no-link)
endif()
# A finding must end the run (and fail the test) rather than scroll by in the output.
target_compile_options(corrivo_common INTERFACE
    -fsanitize=${corrivo_sanitizers} -fno-sanitize-recover=undefined
    -fno-omit-frame-pointer -O1)
target_link_options(corrivo_common INTERFACE -fsanitize=${corrivo_sanitizers})

# The sanitizers' options for tests and fuzz runs, set in their CTest environment.
# Leaks: Qt from Debian keeps process-wide objects (plugins, fonts, the event dispatcher,
# meta-type registrations) that it never frees, and the application keeps a few objects
# for the whole process on purpose; the unit tests therefore run without leak detection.
# The fuzz targets run with it, against the suppressions in fuzz/lsan.supp, so that a
# parser that loses memory per input is a finding.
set(CORRIVO_ASAN_OPTIONS "detect_leaks=0")
set(CORRIVO_UBSAN_OPTIONS "print_stacktrace=1:halt_on_error=1")
