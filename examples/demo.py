"""Short demo: iris records through HybridSeqTrain (console summary only)."""
from sklearn.datasets import load_iris

from HybridSeqTrain import HybridSeqTrain

X, y = load_iris(return_X_y=True)
pred_test, pred_train, model, info = HybridSeqTrain(
    X, y, {"maxEpochs": 30, "figflag": False, "classNames": ["setosa", "versicolor", "virginica"]})
print("test accuracy:", info["metricsTest"]["accuracy"])
