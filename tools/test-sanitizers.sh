#!/usr/bin/env bash
# Builds the whole project and its tests with AddressSanitizer (LeakSanitizer
# included) and UndefinedBehaviorSanitizer in build-asan (preset
# "sanitizers"), and runs every test there; first plemo-flash and its tests
# of several uploads side by side with ThreadSanitizer in build-tsan (preset
# "threads"). Any report from a sanitizer fails the test it happened in (a
# program ThreadSanitizer reported on exits with 66).
#   tools/test-sanitizers.sh [extra ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build-asan
tools/install-deps.sh build gui pty

# Exported before the build as well: test discovery runs the test programs.
#  - detect_stack_use_after_return: a pointer into a returned frame is the
#    kind of fault a byte-fed parser makes; it costs little here.
#  - check_initialization_order: the tests' static tables must not depend on
#    another file's statics.
#  - strict_string_checks stays off: with it the strndup interceptor reports
#    libxkbcommon (under Qt's xcb platform) for a length-bounded copy of an
#    unterminated string, which is correct C.
asan=detect_leaks=1:detect_stack_use_after_return=1
export ASAN_OPTIONS=$asan:check_initialization_order=1:strict_init_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen

# The one leak report that is not ours: the real program on an X server
# (tests/ui) makes Qt's xcb platform open a D-Bus connection, and libdbus
# keeps a 1 KiB buffer of it for the life of the process. LeakSanitizer
# cannot unwind through libdbus (no frame pointers), so the report names
# nothing but the library; the suppression is by library, and nothing of
# ours is ever allocated inside it.
mkdir -p "$dir"
cat >"$dir/lsan-suppressions.txt" <<'SUPPRESSIONS'
leak:libdbus-1.so
SUPPRESSIONS
export LSAN_OPTIONS="suppressions=$PWD/$dir/lsan-suppressions.txt:print_suppressions=0"

tools/build.sh threads --target cli_program_tests plemo-flash plemo-cartsim
threads=0
ctest --preset threads "$@" || threads=$?

tools/build.sh sanitizers
ctest --preset sanitizers "$@"
exit "$threads"
