"""Demo of HybridSeqTrain on two data sets that ship inside scikit-learn (no download).

1. digits: 1797 grey images of 8x8 pixels, ten classes, default options
   (each image becomes a sequence of 8 rows with 8 features).
2. iris: 150 records of 4 measurements, three classes, with a few options set.

Each run prints its console lines and summary and saves five result figures,
named by its caseName, in the "figure" folder beside the module file.
Run with:  PYTHONPATH=<folder with the built modules> MPLBACKEND=Agg python3 examples/demo.py
"""
import time
from pathlib import Path

from sklearn.datasets import load_digits, load_iris

import HybridSeqTrain as hst_module
from HybridSeqTrain import HybridSeqTrain

FIGURE_DIR = Path(hst_module.__file__).resolve().parent / "figure"


def run(title, X, y, options):
    print(f"=== {title}: X {X.shape}, {len(set(y.tolist()))} classes ===")
    started_at, start = time.time(), time.perf_counter()
    _, _, _, info = HybridSeqTrain(X, y, options)
    seconds = time.perf_counter() - start
    test = info["metricsTest"]
    print(f"{title}: test accuracy {test['accuracy']:.4f}, macro F1 {test['macroF1']:.4f}, "
          f"best epoch {info['bestEpoch']}, {seconds:.1f} s")
    for path in sorted(FIGURE_DIR.glob(f"{options['caseName']}_*.png")):
        if path.stat().st_mtime >= started_at - 1:  # written by this run
            print("  figure:", path)
    print()


def main():
    digits = load_digits()
    # Default options apart from the file-name prefix and not opening windows.
    run("digits", digits.images, digits.target, {"caseName": "digits", "showFigures": False})

    iris = load_iris()
    run("iris", iris.data, iris.target, {
        "caseName": "iris",
        "classNames": list(iris.target_names),
        "maxEpochs": 60,
        "networkType": "GRU",
        "convChannels": [16, 32],
        "rnnHidden": 32,
        "batchSize": 16,
        "learnRate": 0.005,
        "showFigures": False,
    })
    print("figures written to", FIGURE_DIR)


if __name__ == "__main__":
    main()
