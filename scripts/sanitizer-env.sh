# Sourced, not run: the environment in which a Python that is not itself
# instrumented can load the AddressSanitizer build of the extension.
#   source scripts/sanitizer-env.sh [REPORT_DIR]
#
# - The ASan runtime has to be the first library in the process, and the C++
#   runtime has to be there when it starts, or its __cxa_throw interceptor
#   finds nothing to forward to and the first C++ exception aborts.
# - PYTHONMALLOC=malloc sends every Python object through malloc, so a
#   reference dropped once too often shows up as a use after free instead
#   of vanishing inside pymalloc's arenas.
# - Leak detection is off: the interpreter keeps much of its memory at exit
#   on purpose. scripts/leakcheck.sh looks for leaks instead.
# - Reports go to files under REPORT_DIR, so one from a child process or
#   from behind pytest's output capture is not lost.
sanitizer_reports=${1:-${sanitizer_reports:-$PWD/build/sanitizer-reports}}
mkdir -p "$sanitizer_reports"
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
ASAN_OPTIONS="detect_leaks=0:detect_stack_use_after_return=1:check_initialization_order=1"
ASAN_OPTIONS+=":halt_on_error=1:log_path=$sanitizer_reports/asan"
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$sanitizer_reports/ubsan"
PYTHONMALLOC=malloc
export LD_PRELOAD ASAN_OPTIONS UBSAN_OPTIONS PYTHONMALLOC sanitizer_reports
