"""HybridSeqClassifierCV against MiniRocket and against HybridSeqClassifier's defaults
on real time-series classification sets with their official train/test splits. The
search's row also gives its ensemble's size and the accuracy of its best estimator alone
(the first member).

    PYTHONPATH=/path/to/build/lib python bench/search.py [--sets A,B,...] [--budget S]
                                                         [--jobs J] [--candidates N] [--ensemble E] [--seed S]
                                                         [--out FILE]
    python bench/search.py --table FILE

The sets ship inside the aeon package (pip install aeon, into an environment of its
own that also sees torch and scikit-learn; see bench/README.md). Every set runs in a
fresh process; each contestant fits on the official training part only and is scored
on the official test part; the seconds are wall time of fit plus predict. Sequences of
unequal length are given to our estimators as lists; MiniRocket gets them padded with
zeros to the longest. One line of JSON per set is appended to FILE (default
search-results.jsonl), and the table over all lines in FILE is printed at the end.
"""
import argparse
import json
import os
import subprocess
import sys

SETS = ["ItalyPowerDemand", "GunPoint", "ArrowHead", "BasicMotions", "JapaneseVowels", "OSULeaf", "ACSF1",
        "PickupGestureWiimoteZ"]

CHILD = r"""
import json, sys, time
import numpy as np
from aeon.datasets import load_classification
name, budget, jobs, search_params = sys.argv[1], float(sys.argv[2]), int(sys.argv[3]), json.loads(sys.argv[4])
x_train, y_train = load_classification(name, split="train")
x_test, y_test = load_classification(name, split="test")
ragged = isinstance(x_train, list)
lengths = [s.shape[-1] for s in list(x_train) + list(x_test)]
row = {"set": name, "train": len(y_train), "test": len(y_test), "channels": int(x_train[0].shape[0]),
       "length": f"{min(lengths)}-{max(lengths)}" if min(lengths) != max(lengths) else str(lengths[0]),
       "classes": len(np.unique(y_train))}

def timed(fit_predict):
    start = time.perf_counter()
    pred = fit_predict()
    return float(np.mean(np.asarray(pred) == np.asarray(y_test))), time.perf_counter() - start

from HybridSeqTrain import HybridSeqClassifier, HybridSeqClassifierCV
search = HybridSeqClassifierCV(time_budget=budget, n_jobs=jobs, deviceSel="cpu", **search_params)
row["search"], row["search_s"] = timed(lambda: search.fit(x_train, y_train).predict(x_test))
row["rungs"] = f"{search.n_iterations_}/{search.n_possible_iterations_}"
row["members"] = len(search.estimators_)
row["single"] = float(np.mean(np.asarray(search.best_estimator_.predict(x_test)) == np.asarray(y_test)))
row["best"] = {k: (list(v) if isinstance(v, tuple) else v) for k, v in search.best_params_.items()}
row["cv_score"] = float(search.best_score_)
try:
    row["defaults"], row["defaults_s"] = timed(
        lambda: HybridSeqClassifier(deviceSel="cpu").fit(x_train, y_train).predict(x_test))
except ValueError as exc:  # e.g. a hold-out of 15 % too small for one sample of every class
    row["defaults"], row["defaults_s"], row["defaults_error"] = None, None, str(exc)

from aeon.classification.convolution_based import MiniRocketClassifier
def padded(xs):
    if not ragged:
        return np.asarray(xs)
    longest = max(lengths)
    return np.stack([np.pad(s, ((0, 0), (0, longest - s.shape[-1]))) for s in xs])
rocket = MiniRocketClassifier(random_state=0)
row["minirocket"], row["minirocket_s"] = timed(lambda: rocket.fit(padded(x_train), y_train).predict(padded(x_test)))
print("RESULT " + json.dumps(row))
"""


def table(rows):
    head = ("| set | train/test | channels × length | classes | search | s | rungs | members | best alone | MiniRocket | s | defaults | s |\n"
            "|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    lines = [head]
    for r in rows:
        lines.append(f"| {r['set']} | {r['train']}/{r['test']} | {r['channels']} × {r['length']} | {r['classes']} | "
                     f"{r['search']:.3f} | {r['search_s']:.1f} | {r['rungs']} | {r['members']} | {r['single']:.3f} | "
                     f"{r['minirocket']:.3f} | " +
                     (f"{r['minirocket_s']:.1f} | {r['defaults']:.3f} | {r['defaults_s']:.1f} |" if r["defaults"] is not None else
                      f"{r['minirocket_s']:.1f} | refused (a) | |"))
    mean = lambda k, rs=rows: sum(r[k] for r in rs) / len(rs)
    ran = [r for r in rows if r["defaults"] is not None]
    all_ran = len(ran) == len(rows)
    lines.append(f"| mean of {len(rows)} | | | | {mean('search'):.3f} | {mean('search_s'):.1f} | | | {mean('single'):.3f} | "
                 f"{mean('minirocket'):.3f} | {mean('minirocket_s'):.1f} | " +
                 (f"{mean('defaults'):.3f} | {mean('defaults_s'):.1f} |" if all_ran else "| |"))
    if ran and not all_ran:
        lines.append(f"| mean of the {len(ran)} the defaults ran on | | | | {mean('search', ran):.3f} | "
                     f"{mean('search_s', ran):.1f} | | | {mean('single', ran):.3f} | {mean('minirocket', ran):.3f} | "
                     f"{mean('minirocket_s', ran):.1f} | "
                     f"{mean('defaults', ran):.3f} | {mean('defaults_s', ran):.1f} |")
    for r in rows:
        if r.get("defaults_error"):
            lines.append(f"(a) {r['set']}: {r['defaults_error']}")
    lines.append("")
    lines.append("best candidates:")
    for r in rows:
        lines.append(f"- {r['set']}: {json.dumps(r['best'], sort_keys=True)} (cross-validated {r['cv_score']:.3f})")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sets", default=",".join(SETS))
    ap.add_argument("--budget", type=float, default=540.0, help="time_budget of the search, seconds")
    ap.add_argument("--jobs", type=int, default=2, help="n_jobs of the search")
    ap.add_argument("--candidates", type=int, help="n_candidates of the search (default: its own)")
    ap.add_argument("--ensemble", type=int, help="ensemble of the search (default: its own)")
    ap.add_argument("--seed", type=int, help="seed of the search (default: its own)")
    ap.add_argument("--out", default="search-results.jsonl")
    ap.add_argument("--table", metavar="FILE", help="only print the table of FILE")
    args = ap.parse_args()
    if not args.table:
        for name in args.sets.split(","):
            search_params = {k: v for k, v in (("n_candidates", args.candidates), ("ensemble", args.ensemble),
                                               ("seed", args.seed)) if v is not None}
            out = subprocess.run([sys.executable, "-c", CHILD, name, str(args.budget), str(args.jobs),
                                  json.dumps(search_params)],
                                 capture_output=True, text=True, env=dict(os.environ, MPLBACKEND="Agg"))
            found = [l for l in out.stdout.splitlines() if l.startswith("RESULT ")]
            if out.returncode != 0 or not found:
                print(f"{name}: failed\n{out.stderr[-3000:]}", file=sys.stderr)
                continue
            with open(args.out, "a") as f:
                f.write(found[0][len("RESULT "):] + "\n")
            print(found[0][len("RESULT "):], flush=True)
    with open(args.table or args.out) as f:
        rows = [json.loads(l) for l in f if l.strip()]
    print(table(rows))


if __name__ == "__main__":
    main()
