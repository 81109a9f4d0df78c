"""CPU time of each rank of a data-parallel run, as a share of what one
process doing the whole work costs beside it (the same heavy case, side by
side, so both are charged on the same loaded machine). Ranks run on gloo over
127.0.0.1, exactly as the distributed tests start them.

    PYTHONPATH=build/debian/lib python3 bench/data_parallel_cpu.py [--worlds 2 3]

Each rank's arithmetic is 1/world of the whole; the exchange and the work every
rank repeats (setup, the optimiser's step over all parameters) come on top.
Figures on a shared machine drift: compare shares from one sitting only, and
read the load average printed with them.
"""
import argparse
import os
import runpy
import sys
import tempfile
import types
from pathlib import Path

TESTS = Path(__file__).resolve().parents[1] / "tests"


def load_runner():
    sys.path.insert(0, str(TESTS))  # the runner's own helpers (conftest)
    return types.SimpleNamespace(**runpy.run_path(str(TESTS / "test_distributed.py")))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--worlds", type=int, nargs="+", default=[2, 3])
    args = parser.parse_args()
    t = load_runner()
    calls = [t.SMALL, t.HEAVY, t._group(t.HEAVY)]  # warm-up, alone side by side, as ranks
    for world in args.worlds:
        load = os.getloadavg()[0]
        with tempfile.TemporaryDirectory() as tmp:
            runs = t._run(world, calls, Path(tmp), timeout=900)
        alone = [r[1]["cpu"] for r, _ in runs]
        shares = [r[2]["cpu"] / r[1]["cpu"] for r, _ in runs]
        print("%d ranks (load %.1f on %d cores): one process alone %s s; each rank's share of it %s"
              % (world, load, os.cpu_count() or 1, " ".join("%.2f" % a for a in alone),
                 " ".join("%.2f" % s for s in shares)))


if __name__ == "__main__":
    main()
