#!/usr/bin/env bash
# Debug build of both modules with AddressSanitizer and UndefinedBehaviorSanitizer
# (HST_SANITIZE=1: -O1 -g -fsanitize=address,undefined) into build-asan/, then the
# test suite against that build with the ASan runtime preloaded into the interpreter.
#
#   tools/sanitize.sh                                   # the whole suite (slow)
#   tools/sanitize.sh tests/test_training.py -k ctrl    # any pytest arguments
#   SANITIZE_BUILD=0 tools/sanitize.sh ...              # reuse the existing build
#
# Only our code is instrumented (torch, NumPy and Python are not); the ASan
# runtime still checks every heap access of ours, and PYTHONMALLOC=malloc routes
# Python's own objects through it too. Leak detection is off: the interpreter
# keeps memory until exit by design; allocator_may_return_null lets an absurd
# allocation (the fuzzing asks for networks of 2^40 channels) fail with torch's
# own error, as it does without ASan, instead of aborting. The quarantine of freed
# memory is kept small (32 MB instead of 256 MB): filling it would look like
# growth to the resident-memory test. The run fails when a test fails or when
# a sanitizer wrote a report (build-asan/reports/); the log is build-asan/last-run.log.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-/usr/bin/python3}
OUT=build-asan

if [ "${SANITIZE_BUILD:-1}" != 0 ]; then
  HST_SANITIZE=1 MAX_JOBS=${MAX_JOBS:-1} "$PY" setup.py -q build_ext --build-temp "$OUT/tmp" --build-lib "$OUT/lib"
fi

runtime=$(gcc -print-file-name=libasan.so)
[ -f "$runtime" ] || { echo "libasan.so not found (install gcc's sanitizer runtime)" >&2; exit 2; }
# The interpreter does not link the C++ runtime; preloaded after ASan, it is
# there when ASan sets up its __cxa_throw interceptor (otherwise the first C++
# exception stops the process with "CHECK failed ... real___cxa_throw").
cxxrt=$(gcc -print-file-name=libstdc++.so)

# Reports go to files (pytest captures stderr and would lose the report of a
# run that aborts), one per process: build-asan/reports/asan.<pid>.
reports="$PWD/$OUT/reports"
rm -rf "$reports" && mkdir -p "$reports"
log="$OUT/last-run.log"
set +e
env LD_PRELOAD="$runtime $cxxrt" \
    ASAN_OPTIONS="detect_leaks=0:alloc_dealloc_mismatch=0:allocator_may_return_null=1:quarantine_size_mb=32:log_path=$reports/asan:${ASAN_OPTIONS:-}" \
    UBSAN_OPTIONS="print_stacktrace=1:log_path=$reports/ubsan:${UBSAN_OPTIONS:-}" \
    PYTHONMALLOC=malloc MPLBACKEND=Agg PYTHONPATH="$PWD/$OUT/lib" \
    "$PY" -P -m pytest -q -p no:cacheprovider "${@:-tests}" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
set -e

# Errors fail the run; warnings (an allocation refused) are only counted.
found=$(grep -lE "ERROR: AddressSanitizer|runtime error:|CHECK failed" "$reports"/* 2>/dev/null || true)
if [ -n "$found" ]; then
  cat $found >&2
  echo "sanitizer errors reported, see $reports" >&2
  exit 1
fi
echo "no sanitizer errors ($(ls "$reports" | wc -l) report file(s) with warnings only)"
exit "$status"
