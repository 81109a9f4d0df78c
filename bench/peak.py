"""The machine's limits for float32 work on one core: the FMA peak per instruction set and
the best product the installed libraries reach.

    python bench/peak.py [--threads T] [--seconds S] [--isa auto|avx512|avx2]
        [--fma-peak-bench PATH]

1. Runs fma_peak_bench (bench/fma_peak.cpp, built with
   HST_CMAKE_ARGS=-DHST_BUILD_BENCH=ON tests/cpp/run.sh): a loop of independent
   multiply-adds per instruction set the processor offers, the core's peak.
2. Times the float32 product of torch (torch.mm, its own BLAS) and of numpy (its own
   BLAS, e.g. the OpenBLAS of its wheel, with that library's own kernel choice: leave
   OPENBLAS_CORETYPE unset to see it) on a 2048 square and on every call site of
   workloads c and d that bench/gemm_kernels.cpp times (same shapes, A read through the
   same transposed view where the call site has one), T threads (default 1) for torch
   and every BLAS pool (threadpoolctl). The two are alternated over 7 rounds; medians.
   "best" is the faster of the two, and its share of the FMA peak x T of --isa (default:
   the widest the processor offers; avx2 when the libraries are held to AVX2, e.g.
   OPENBLAS_CORETYPE=Haswell ATEN_CPU_CAPABILITY=avx2).
"""
import argparse
import importlib.util
import os
import re
import statistics
import sys
import time

import numpy as np
import torch

HERE = os.path.dirname(os.path.abspath(__file__))
_found = importlib.util.spec_from_file_location("hst_bench", os.path.join(HERE, "bench.py"))
bench = importlib.util.module_from_spec(_found)
_found.loader.exec_module(bench)

# (call site, M, K, N, A read as the transpose of a [K, M] matrix): gemm_kernels.cpp's rows
SHAPES = [
    ("square 2048", 2048, 2048, 2048, False),
    ("c conv1 forward", 8444, 45, 32, False),
    ("c conv2 forward", 8444, 160, 64, False),
    ("c conv2 weight grad", 160, 8444, 64, True),
    ("c conv2 input grad", 8444, 320, 32, False),
    ("c lstm input proj", 4096, 64, 256, False),
    ("c lstm step", 64, 64, 256, False),
    ("c lstm step grad", 64, 256, 64, False),
    ("c lstm w_ih grad", 256, 4096, 64, True),
    ("c lstm input grad", 4096, 256, 64, False),
    ("d conv2 forward", 2044, 160, 64, False),
    ("d conv2 weight grad", 160, 2044, 64, True),
    ("d lstm input proj", 896, 64, 256, False),
    ("d lstm w_ih grad", 256, 896, 64, True),
]
ROUNDS = 7


def time_pair(f, g, seconds):
    """Seconds per call of f and of g, alternated over ROUNDS rounds; medians."""
    for _ in range(2):
        f()
        g()
    t = time.perf_counter()
    f()
    g()
    once = time.perf_counter() - t
    reps = max(1, int(seconds / ROUNDS / max(once, 1e-7)))
    tf, tg = [], []
    for _ in range(ROUNDS):
        for fn, out in ((f, tf), (g, tg)):
            t = time.perf_counter()
            for _ in range(reps):
                fn()
            out.append((time.perf_counter() - t) / reps)
    return statistics.median(tf), statistics.median(tg)


def torch_blas():
    """What torch's build says its BLAS is (BLAS_INFO), and the CPU capability ATen uses."""
    found = re.search(r"BLAS_INFO=(\w+)", torch.__config__.show())
    cap = getattr(getattr(torch.backends, "cpu", None), "get_cpu_capability", None)
    return "%s, ATen %s" % (found.group(1) if found else "BLAS unknown",
                            cap() if cap else "capability unknown")


def blas_pools():
    try:
        import threadpoolctl
    except ImportError:
        return "no threadpoolctl"
    pools = [p for p in threadpoolctl.threadpool_info() if p.get("user_api") == "blas"]
    return "; ".join("%s %s %s (%s)" % (p["internal_api"], p.get("version") or "",
                                         p.get("architecture") or "",
                                         os.path.basename(p["filepath"]))
                     for p in pools) or "no BLAS pool"


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--threads", type=int, default=1)
    p.add_argument("--seconds", type=float, default=0.5,
                   help="seconds per shape and library, all rounds together")
    p.add_argument("--isa", choices=("auto", "avx512", "avx2"), default="auto",
                   help="instruction set whose FMA peak the shares are taken against"
                   " (default: the widest the processor offers)")
    p.add_argument("--fma-peak-bench", default=os.path.join(bench.REPO_ROOT, "build",
                                                             "cpp-tests", "fma_peak_bench"))
    args = p.parse_args(argv)
    if args.threads < 1:
        p.error("--threads must be at least 1")
    bench.limit_threads(args.threads)
    env = ", ".join("%s=%s" % (k, os.environ[k]) for k in
                    ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE", "ATEN_CPU_CAPABILITY",
                     "MKL_ENABLE_INSTRUCTIONS", "MKL_DEBUG_CPU_TYPE") if k in os.environ)
    print("torch %s (%s), numpy %s; %d thread(s); BLAS pools: %s%s"
          % (torch.__version__, torch_blas(), np.__version__, torch.get_num_threads(),
             blas_pools(), "; environment: " + env if env else ""))

    peaks, missing, text = bench.measure_fma_peak(args.fma_peak_bench, seconds=0.2)
    if text:
        print(text.rstrip())
    isa = bench.peak_isa(peaks, args.isa, [])
    if missing:
        print("FMA peak:", missing)

    print("\nfloat32 products, %d thread(s); GFLOP/s, medians of %d alternating rounds"
          % (torch.get_num_threads(), ROUNDS))
    peak_head = "%% %s peak" % isa if isa else "% peak"
    head = "%-20s %5s %5s %5s | %7s %7s | %7s %12s" % ("call site", "M", "K", "N", "torch",
                                                       "numpy", "best", peak_head)
    print(head)
    print("-" * len(head))
    torch.manual_seed(0)
    for name, m, k, n, a_t in SHAPES:
        a = torch.randn(k, m).t() if a_t else torch.randn(m, k)
        b = torch.randn(k, n)
        c_torch, c_numpy = torch.empty(m, n), torch.empty(m, n)
        an, bn, cn = a.numpy(), b.numpy(), c_numpy.numpy()
        t_torch, t_numpy = time_pair(lambda: torch.mm(a, b, out=c_torch),
                                     lambda: np.matmul(an, bn, out=cn), args.seconds)
        diff = (c_torch - c_numpy).abs().max().item()
        flops = 2.0 * m * k * n
        best = flops / min(t_torch, t_numpy)
        share = ("%11.1f%%" % (100.0 * best / (peaks[isa] * args.threads))
                 if isa else "%12s" % "-")
        print("%-20s %5d %5d %5d | %7.1f %7.1f | %7.1f %s%s"
              % (name, m, k, n, flops / t_torch * 1e-9, flops / t_numpy * 1e-9, best * 1e-9,
                 share, "  (results differ!)" if diff > 1e-2 * max(1.0, k ** 0.5) else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
