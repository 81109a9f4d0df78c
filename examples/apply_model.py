"""Applying a trained model to new raw data, and exporting it for deployment.

Trains on part of scikit-learn's digits (8x8 grey images, ten classes), then
treats the held-back images as new data arriving in the same raw layout:

1. the same layout adaptation as in training, read from info["shapeInfo"];
2. the training statistics info["normalizationMean"] / info["normalizationStd"];
3. model(x), and the class labels back through info["classes"];
4. export to ONNX and to TorchScript (torch.jit.trace) and check that both
   give the same predictions as the model.

Run with:  PYTHONPATH=<folder with the built modules> MPLBACKEND=Agg python3 examples/apply_model.py
"""
import contextlib
import importlib.util
import io
import tempfile
from pathlib import Path

import numpy as np
import torch
from sklearn.datasets import load_digits

from HybridSeqTrain import HybridSeqTrain


def adapt_like_training(raw, shape_info):
    """Raw samples in the training layout -> float32 [samples, features, steps]."""
    data = np.moveaxis(np.asarray(raw), shape_info["sampleAxis"], 0)
    if tuple(data.shape[1:]) != tuple(shape_info["sampleShape"]):
        raise ValueError(f"samples of shape {data.shape[1:]}, the model was trained on {shape_info['sampleShape']}")
    data = np.moveaxis(data, shape_info["sequenceAxis"] + 1, -1)
    return data.reshape(len(data), shape_info["featureCount"], shape_info["sequenceLength"]).astype(np.float32)


def network_input(raw, info, device):
    """What the network reads: the adapted samples scaled with the training statistics."""
    x = (adapt_like_training(raw, info["shapeInfo"]) - info["normalizationMean"]) / info["normalizationStd"]
    return torch.from_numpy(x.astype(np.float32)).to(device)


def predict_labels(model, raw, info):
    device = next(model.parameters()).device
    with torch.no_grad():
        logits = model(network_input(raw, info, device))
    return info["classes"][logits.argmax(dim=1).cpu().numpy()]


def main():
    digits = load_digits()
    images, labels = digits.images, digits.target
    seen, new = slice(0, 1500), slice(1500, None)  # the last 297 images play the new data

    options = {"maxEpochs": 8, "figflag": False, "caseName": "apply"}
    with contextlib.redirect_stdout(io.StringIO()):  # the training log is not the point here
        fore_test, _, model, info = HybridSeqTrain(images[seen], labels[seen], options)
    print(f"trained: best epoch {info['bestEpoch']}, test accuracy {info['metricsTest']['accuracy']:.4f}, "
          f"layout {info['shapeInfo']['originalShape']} -> {info['shapeInfo']['adaptedShape']}")

    # The same steps reproduce the run's own test predictions.
    again = predict_labels(model, images[seen][info["testIdx"]], info)
    print(f"run's own test set predicted again: {int((again == fore_test).sum())} of {len(fore_test)} equal")

    predicted = predict_labels(model, images[new], info)
    print(f"new data: {len(predicted)} images, accuracy {np.mean(predicted == labels[new]):.4f}, "
          f"first labels {predicted[:10].tolist()}")

    # Deployment: both exported forms take a batch of any size.
    device = next(model.parameters()).device
    x = network_input(images[new], info, device)
    with torch.no_grad():
        want = model(x).argmax(dim=1).cpu().numpy()
    with tempfile.TemporaryDirectory() as folder:
        traced = torch.jit.trace(model, x[:4])
        traced.save(str(Path(folder) / "model.pt"))
        loaded = torch.jit.load(str(Path(folder) / "model.pt"), map_location=device)
        with torch.no_grad():
            got = loaded(x).argmax(dim=1).cpu().numpy()
        print(f"TorchScript (torch.jit.trace): {int((got == want).sum())} of {len(want)} predictions equal")

        onnx_path = str(Path(folder) / "model.onnx")
        torch.onnx.export(model, (x[:4],), onnx_path, input_names=["x"], output_names=["logits"],
                          dynamic_axes={"x": {0: "batch"}, "logits": {0: "batch"}})
        if importlib.util.find_spec("onnxruntime") is None:
            print(f"ONNX: written ({Path(onnx_path).stat().st_size} bytes); onnxruntime is not installed, "
                  "so its predictions are not checked here")
        else:
            import onnxruntime
            session = onnxruntime.InferenceSession(onnx_path, providers=["CPUExecutionProvider"])
            logits = session.run(None, {"x": x.cpu().numpy()})[0]
            got = logits.argmax(axis=1)
            print(f"ONNX (onnxruntime): {int((got == want).sum())} of {len(want)} predictions equal")


if __name__ == "__main__":
    main()
