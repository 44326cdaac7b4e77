#!/bin/sh
# Sets up the machine, then builds and runs every test: a normal build, a
# build with AddressSanitizer and UndefinedBehaviorSanitizer, and a clang
# build whose libFuzzer targets run for a bounded time.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh

top=$(pwd)
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=0"
export LSAN_OPTIONS="suppressions=$top/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

status=0
echo "== normal build"
scripts/build.sh build
# pyxo-dialog reads its catalogue from the fixed system path only.
cmake --install build --component catalogue >/dev/null
ctest --test-dir build --output-on-failure -j 2 || status=1

echo "== sanitizer build (address, undefined)"
scripts/build.sh build-asan -DPYXO_SANITIZE=ON
ctest --test-dir build-asan --output-on-failure -j 2 -LE valgrind || status=1

echo "== fuzz build (clang, libFuzzer)"
CC=clang CXX=clang++ scripts/build.sh build-fuzz -DPYXO_FUZZ=ON
ctest --test-dir build-fuzz --output-on-failure -j 2 -L fuzz || status=1

exit $status
