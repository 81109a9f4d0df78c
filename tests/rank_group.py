"""A group of ranks for the distributed tests and benchmarks: each rank a child
interpreter running a worker script, gloo over 127.0.0.1, bounded by a timeout;
each worker pickles its results to the file named on its command line."""
import os
import pickle
import signal
import socket
import subprocess
import sys
import time

from conftest import child_env

# What every worker script starts with: its rank, the world size, the port,
# the file for its results and its job (JSON), from its command line.
WORKER_HEADER = r"""
import datetime, json, os, pickle, resource, signal, sys, time
import numpy as np
import torch
import torch.distributed as dist
import HybridSeqTrain as H

rank, world, port, out_path = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
job = json.loads(sys.argv[5])
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rank_env():
    """A child's environment: the modules on this interpreter's path, gloo on
    loopback, one thread each (so runs are reproducible to the bit)."""
    return child_env([p for p in sys.path if p], GLOO_SOCKET_IFNAME="lo", OMP_NUM_THREADS="1",
                     USE_LIBUV="0")  # torch builds without libuv (Debian 13) refuse the default store otherwise


def run_ranks(worker, world, job, tmp_path, timeout=240, killed=()):
    """Starts max(world, 1) ranks of `worker` (argv: rank, world, port, result
    file, `job`); returns per rank (its unpickled results, its standard
    output). A rank in `killed` is expected to end by SIGKILL (its results
    are then what it pickled before, or None)."""
    port = free_port()
    procs = []
    for rank in range(max(world, 1)):
        out = os.path.join(str(tmp_path), "rank%d-%d.pkl" % (rank, port))
        cmd = [sys.executable, "-c", worker, str(rank), str(world), str(port), out, job]
        procs.append((subprocess.Popen(cmd, env=rank_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE), out))
    start = time.monotonic()
    runs = []
    try:
        for rank, (proc, out) in enumerate(procs):
            stdout, stderr = proc.communicate(timeout=max(1.0, timeout - (time.monotonic() - start)))
            expected = -signal.SIGKILL if rank in killed else 0
            assert proc.returncode == expected, (rank, proc.returncode, stderr.decode(errors="replace")[-2000:])
            results = None
            if os.path.exists(out):
                with open(out, "rb") as f:
                    results = pickle.load(f)
            runs.append((results, stdout.decode()))
    finally:
        for proc, _ in procs:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
    return runs
