"""The pipeline as a scikit-learn estimator, on scikit-learn's digits.

1. fit on part of the images, score on the rest (raw 8x8 images in, labels out);
2. a small grid search over two options with GridSearchCV;
3. save with joblib, load again, the same predictions;
4. export the whole mapping (layout, standardisation, network, softmax) to
   ONNX and TorchScript, and check both against predict_proba.

Run with:  PYTHONPATH=<folder with the built modules> MPLBACKEND=Agg python3 examples/estimator.py
"""
import importlib.util
import inspect
import tempfile
from pathlib import Path

import joblib
import numpy as np
import torch
from sklearn.datasets import load_digits
from sklearn.model_selection import GridSearchCV, train_test_split

from HybridSeqTrain import HybridSeqClassifier


def main():
    digits = load_digits()
    X, y = digits.images, digits.target  # [1797, 8, 8]: each image a sequence of 8 rows
    X_train, X_new, y_train, y_new = train_test_split(X, y, test_size=0.2, random_state=0, stratify=y)

    clf = HybridSeqClassifier(maxEpochs=30, convChannels=(16,), rnnHidden=32).fit(X_train, y_train)
    print(f"fit: best epoch {clf.best_epoch_}, accuracy on new images {clf.score(X_new, y_new):.4f}")

    search = GridSearchCV(HybridSeqClassifier(maxEpochs=15, convChannels=(16,)),
                          {"rnnHidden": [16, 32], "networkType": ["GRU", "LSTM"]}, cv=3, n_jobs=1)
    search.fit(X_train, y_train)
    print(f"search: best {search.best_params_}, cross-validated accuracy {search.best_score_:.4f}, "
          f"on new images {search.score(X_new, y_new):.4f}")

    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "digits.joblib"
        joblib.dump(clf, path)
        loaded = joblib.load(path)
        same = np.array_equal(loaded.predict_proba(X_new), clf.predict_proba(X_new))
        print(f"saved and loaded: predictions identical: {same}")

        module = clf.to_module()  # raw [batch, 8, 8] -> probabilities
        example = torch.as_tensor(X_new[:4], dtype=torch.float32)
        want = clf.predict_proba(X_new)
        traced = torch.jit.trace(module, example)
        with torch.no_grad():
            got = traced(torch.as_tensor(X_new, dtype=torch.float32)).numpy()
        print(f"TorchScript: largest difference from predict_proba {np.abs(got - want).max():.2e}")
        if importlib.util.find_spec("onnxruntime") is None:
            print("ONNX: onnxruntime not installed, export not checked")
            return
        import onnxruntime
        onnx_path = str(Path(tmp) / "digits.onnx")
        # The exporter that reads the traced graph (torch 2.x defaults to another one).
        legacy = {"dynamo": False} if "dynamo" in inspect.signature(torch.onnx.export).parameters else {}
        torch.onnx.export(module, (example,), onnx_path, input_names=["x"], output_names=["proba"],
                          dynamic_axes={"x": {0: "batch"}, "proba": {0: "batch"}}, **legacy)
        session = onnxruntime.InferenceSession(onnx_path, providers=["CPUExecutionProvider"])
        got = session.run(None, {"x": X_new.astype(np.float32)})[0]
        print(f"ONNX: largest difference from predict_proba {np.abs(got - want).max():.2e}")


if __name__ == "__main__":
    main()
