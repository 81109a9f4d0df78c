#!/usr/bin/env bash
# Configures, builds and runs the C++ kernel tests; extra arguments go to the
# test binary (e.g. --gtest_filter='*Lstm*'). Exit status is non-zero when a
# step or a test fails.
#   HST_CPP_BUILD_DIR  build folder (default: build/cpp-tests)
#   HST_CMAKE_ARGS     extra configure arguments (e.g. -DHST_BUILD_BENCH=ON)
#   PYTHON             interpreter whose torch is used (default /usr/bin/python3)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${HST_CPP_BUILD_DIR:-$root/build/cpp-tests}"
py="${PYTHON:-/usr/bin/python3}"

# A torch wheel is found through its own cmake prefix; Debian's torch (whose
# prefix folder does not exist) is found by CMake with no hints.
config=(-S "$root/tests/cpp" -B "$build" -DCMAKE_BUILD_TYPE=Release "-DHST_PYTHON=$py")
prefix="$("$py" -c 'import torch; print(torch.utils.cmake_prefix_path)' 2>/dev/null || true)"
if [[ -n "$prefix" && -d "$prefix" ]]; then
  config+=("-DCMAKE_PREFIX_PATH=$prefix")
fi
if command -v ccache >/dev/null 2>&1; then
  config+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}"
fi
# shellcheck disable=SC2206
config+=(${HST_CMAKE_ARGS:-})

cmake "${config[@]}"
cmake --build "$build" --parallel "${JOBS:-2}"
status=0
for t in test_core test_rnn_native test_conv_native test_gemm_packed test_host_allocator test_parallel; do
  "$build/$t" "$@" || status=1
done
exit $status
