#!/bin/bash
# The measurements that need a borrowed CUDA machine (one GPU, 16 CPU cores), in
# at most two commands of under ten minutes each. It builds the modules against
# that machine's python3 and its torch, then:
#   gpu      the tests that use the GPU, then workloads c (LSTM) and d on CUDA
#            against the tuned eager and compiled loops on the same GPU
#   threads  workload c (LSTM) on the CPU at 1, 4 and 16 intra-op threads
#            against the tuned eager and compiled loops at the same thread counts
#   all      both (the default; near ten minutes: better two calls, gpu then
#            threads, the second on the still-warm machine, whose build is kept)
# Usage there:  bash tools/device-bench.sh gpu|threads|all [epochs] [rounds]
# Everything printed is kept in $OUT (the folder that comes back) or ./device-out.
set -u -o pipefail
PART=${1:-all}
EPOCHS=${2:-5}
ROUNDS=${3:-2}
PY=${PYTHON:-python3}
case "$PART" in gpu|threads|all) ;; *) echo "usage: $0 gpu|threads|all [epochs] [rounds]" >&2; exit 2 ;; esac
DEST=${OUT:-$PWD/device-out}
mkdir -p "$DEST"
export MPLBACKEND=Agg PYTHONUNBUFFERED=1
LIB=$PWD/build/device/lib
LOG=$DEST/device-$PART.log

run() {
  echo "== $*"
  local start=$SECONDS
  "$@"
  local rc=$?
  echo "== rc $rc after $((SECONDS - start)) s"
  return $rc
}

main() {
  date -u
  nproc
  nvidia-smi --query-gpu=name,memory.total,driver_version --format=csv,noheader 2>/dev/null || echo "no nvidia-smi"
  $PY -c 'import sys, torch, numpy, sklearn, matplotlib; print("Python", sys.version.split()[0], "torch", torch.__version__, "cuda", torch.version.cuda, "available", torch.cuda.is_available(), "numpy", numpy.__version__, "scikit-learn", sklearn.__version__, "matplotlib", matplotlib.__version__)' || return 1
  run env MAX_JOBS="$(nproc)" $PY setup.py -q build_ext --build-lib build/device/lib --build-temp build/device/tmp || return 1

  if [ "$PART" != threads ]; then
    run env PYTHONPATH="$LIB" timeout 240 $PY -P -m pytest -q -rs tests -k "cuda or gpu or device"
    run env PYTHONPATH="$LIB" timeout 330 $PY bench/bench.py --device cuda --workloads c:LSTM,d \
      --contestants tuned,compiled --epochs "$EPOCHS" --rounds "$ROUNDS" --json "$DEST/bench-cuda.json"
  fi
  if [ "$PART" != gpu ]; then
    for t in 1 4 16; do
      run env PYTHONPATH="$LIB" timeout 170 $PY bench/bench.py --device cpu --workloads c:LSTM --threads "$t" \
        --contestants tuned,compiled --epochs "$EPOCHS" --rounds 1 --json "$DEST/bench-cpu-t$t.json"
    done
  fi
}

main 2>&1 | tee "$LOG"
