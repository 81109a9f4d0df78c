"""Hostile inputs for both public functions, from the generator in tools/fuzz.py.

A bounded, seeded run in child interpreters, one per batch: a crash, an abort
or a hang fails the batch and names the case (the child announces each case on
stderr before running it). Every case must end in a sound result or an
expected exception, with the caller's X, Y and options unchanged.
"""
import importlib.util
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import child_env

FUZZ = Path(__file__).resolve().parents[1] / "tools" / "fuzz.py"
SEED = 20261208
BATCHES, PER_BATCH = 2, 1000


def _generator():
    found = importlib.util.spec_from_file_location("hst_fuzz", FUZZ)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def _last_case(stderr):
    started = re.findall(r"^case (\d+)$", stderr or "", re.M)
    if not started:
        return "before the first case"
    index = int(started[-1])
    kind, _, desc = _generator().make_case(SEED, index)
    return f"case {index} ({kind}: {desc}); replay: tools/fuzz.py --seed {SEED} --start {index} --count 1"


@pytest.mark.parametrize("batch", range(BATCHES))
def test_generated_cases_end_in_results_or_expected_errors(batch):
    import HybridSeqTrain
    cmd = [sys.executable, str(FUZZ), "--seed", str(SEED), "--start", str(batch * PER_BATCH),
           "--count", str(PER_BATCH), "--case-timeout", "60", "--json"]
    try:
        proc = subprocess.run(cmd, env=child_env(), capture_output=True, text=True, timeout=240,
                              cwd=os.path.dirname(os.path.abspath(HybridSeqTrain.__file__)))
    except subprocess.TimeoutExpired as exc:
        stderr = exc.stderr.decode(errors="replace") if isinstance(exc.stderr, bytes) else exc.stderr
        pytest.fail(f"hung in {_last_case(stderr)}")
    if proc.returncode not in (0, 3):
        pytest.fail(f"child ended with status {proc.returncode} in {_last_case(proc.stderr)}\n"
                    f"{proc.stderr[-3000:]}")
    summary = json.loads(proc.stdout.strip().splitlines()[-1])
    bad = [f"case {b['index']} ({b['kind']}: {b['case']}): {b['outcome']} {b['detail']}" for b in summary["bad"]]
    assert bad == []
    assert proc.returncode == 0
    counts = summary["counts"]
    assert sum(counts.values()) >= PER_BATCH
    # The generator reaches every stage: full runs, the model's forward, our
    # own messages and library errors, for both functions.
    for key, least in [("HybridSeqTrain ok:result", PER_BATCH // 10), ("HybridSeqTrain raised:ValueError", 50),
                       ("HybridSeqTrain raised:TypeError", 20), ("RatePredictions ok:result", 5),
                       ("RatePredictions raised:ValueError", 20), ("HybridSeqTrain model-call ok", 20)]:
        assert counts.get(key, 0) >= least, (key, counts)
