"""HybridSeqClassifierCV: the search that picks the network's shape for the data."""
import inspect
import pickle

import numpy as np
import pytest
import sklearn
from sklearn.base import clone
import HybridSeqTrain as H
from conftest import estimator_checks

Search = H.HybridSeqClassifierCV
# A search of a few seconds: 5 candidates halved by 2 give three rungs of 5, 3
# and 2 candidates, each with maxEpochs (no rung goes below it when it is small).
QUICK = dict(n_candidates=5, factor=2, cv=2, maxEpochs=4, deviceSel="cpu")


def series(n=48, channels=2, length=16, classes=2, seed=0, ragged=None):
    """Class-dependent frequency plus noise; a list of [channels, L_i] arrays when
    `ragged` = (shortest, longest)."""
    rng = np.random.default_rng(seed)
    y = np.arange(n) % classes
    if ragged:
        lengths = rng.integers(ragged[0], ragged[1] + 1, size=n)
        lengths[0] = ragged[0]
    else:
        lengths = np.full(n, length)
    x = [rng.normal(scale=0.5, size=(channels, l)) + np.sin(np.linspace(0, (y[i] + 1) * 3, l)) for i, l in
         enumerate(lengths)]
    return (x if ragged else np.stack(x)), y


# (data, the rules' expectations: pools, kernels, widths of the deepest stack, batch sizes)
SHAPES = [
    ("very short records", dict(n=30, channels=1, length=8), [1], [3, 5, 7], (32, 64), [8]),
    ("short, 3 classes", dict(n=60, channels=3, length=24, classes=3), [1, 2], [3, 5, 7], (32, 64), [8]),
    ("medium", dict(n=120, channels=2, length=150), [4, 8], [5, 7, 9], (32, 64, 128), [16]),
    ("long, few samples", dict(n=24, channels=1, length=1460), [32, 64], [5, 7, 9], (32, 64, 128), [8]),
    ("many channels", dict(n=40, channels=40, length=40), [1, 2], [3, 5, 7], (64, 128, 256), [8]),
    ("many classes", dict(n=50, channels=1, length=64, classes=10), [1, 2, 4], [5, 7, 9], (32, 64, 128), [8]),
    ("unequal lengths", dict(n=40, ragged=(20, 280)), None, [5, 7, 9], (32, 64, 128), [8]),
    ("one very short sample", dict(n=40, ragged=(3, 400)), [2], [5, 7, 9], (32, 64, 128), [8]),
]


@pytest.mark.parametrize("name, data, pools, kernels, deepest, batches", SHAPES, ids=[s[0] for s in SHAPES])
def test_the_space_follows_the_data_and_its_widest_candidate_trains(name, data, pools, kernels, deepest, batches):
    x, y = series(**data)
    space = Search(maxEpochs=50).search_space(x, y)
    assert list(space) == ["networkType", "convChannels", "kernelSize", "poolSize", "rnnHidden", "learnRate",
                           "batchSize", "earlyStoppingPatience"]
    lengths = [s.shape[-1] for s in x] if isinstance(x, list) else [x.shape[-1]] * len(x)
    shortest, median = min(lengths), sorted(lengths)[len(lengths) // 2]
    # Never a pool past the shortest sample; the recurrent layer sees 12..64 steps where that is possible.
    assert max(space["poolSize"]) <= shortest
    if pools is None:
        assert all(12 <= median / p <= 64 for p in space["poolSize"])
    else:
        assert space["poolSize"] == pools
    assert space["kernelSize"] == kernels and all(k % 2 == 1 for k in kernels)
    assert space["convChannels"][-1] == deepest and space["convChannels"][0] == deepest[:1]
    assert space["batchSize"] == batches
    assert space["networkType"] == ["GRU", "LSTM", "BiGRU", "BiLSTM"]
    assert space["earlyStoppingPatience"] == [5, 10]
    # The heaviest corner of the grid is a valid set of options for this data: it
    # trains, and predicts the shortest sample.
    widest = dict(networkType="BiLSTM", convChannels=space["convChannels"][-1], kernelSize=max(space["kernelSize"]),
                  poolSize=max(space["poolSize"]), rnnHidden=max(space["rnnHidden"]),
                  batchSize=max(space["batchSize"]), maxEpochs=1, deviceSel="cpu",
                  validationRatio=min(0.45, max(0.15, len(set(y)) / len(y))))  # the refit's hold-out rule
    clf = H.HybridSeqClassifier(**widest).fit(x, y)
    shortest_sample = [x[int(np.argmin(lengths))]] if isinstance(x, list) else x[:1]
    assert clf.predict(shortest_sample).shape == (1,)


def test_a_search_runs_its_rungs_and_reports_in_scikit_learns_layout():
    from sklearn.dummy import DummyClassifier
    from sklearn.experimental import enable_halving_search_cv  # noqa: F401
    from sklearn.model_selection import HalvingGridSearchCV

    x, y = series(n=48)
    search = Search(**QUICK).fit(x, y)
    assert search.n_candidates_ == [5, 3, 2] and search.n_iterations_ == search.n_possible_iterations_ == 3
    assert search.n_resources_ == [4, 4, 4] and not search.stopped_by_budget_
    res = search.cv_results_
    reference = HalvingGridSearchCV(DummyClassifier(), {"strategy": ["prior", "uniform"]}, cv=2,
                                    min_resources=20, return_train_score=False).fit(x.reshape(48, -1), y).cv_results_
    ours = {k for k in res if not k.startswith("param_")}
    assert ours == {k for k in reference if not k.startswith("param_")}
    assert sorted(k for k in res if k.startswith("param_")) == sorted(
        "param_" + k for k in list(search.search_space_) + ["maxEpochs"])
    assert list(res["iter"]) == [0] * 5 + [1] * 3 + [2] * 2
    # Survivors are the best of the rung before.
    first = res["mean_test_score"][:5]
    survivors = [p for p in res["params"][5:8]]
    kept = [res["params"][i] for i in np.argsort(-first, kind="stable")[:3]]
    assert [{k: v for k, v in p.items() if k != "maxEpochs"} for p in survivors] == \
           [{k: v for k, v in p.items() if k != "maxEpochs"} for p in kept]
    assert res["rank_test_score"][search.best_index_] == 1 and search.best_index_ in (8, 9)
    assert search.best_params_ == res["params"][search.best_index_]
    assert search.best_score_ == res["mean_test_score"][search.best_index_]
    # The refit: the best candidate on all the rows, once per seed of the ensemble,
    # and the search answers with the mean of the members' probabilities.
    best, members = search.best_estimator_, search.estimators_
    assert members[0] is best and [m.seed for m in members] == [42, 43, 44, 45, 46]
    for m in members:
        assert {k: m.get_params()[k] for k in search.best_params_} == search.best_params_
        assert len(m.train_rows_) + len(m.validation_rows_) == 48
    proba = search.predict_proba(x)
    np.testing.assert_allclose(proba, np.mean([m.predict_proba(x) for m in members], axis=0), atol=1e-7)
    assert len({m.predict_proba(x).tobytes() for m in members}) == 5  # the seeds differ
    np.testing.assert_array_equal(search.predict(x), search.classes_[proba.argmax(1)])
    weights = np.arange(48) % 3
    assert search.score(x, y, weights) == pytest.approx(np.average(search.predict(x) == y, weights=weights))
    np.testing.assert_array_equal(search.classes_, [0, 1])
    # The deployable module averages the same way, at any batch size and traced.
    import torch
    module = search.to_module()
    with torch.no_grad():
        for rows in (slice(0, 1), slice(0, 7), slice(None)):
            np.testing.assert_allclose(module(torch.as_tensor(x[rows])).numpy(), proba[rows], atol=1e-6)
        traced = torch.jit.trace(module, torch.as_tensor(x[:4]))
        np.testing.assert_allclose(traced(torch.as_tensor(x[4:13])).numpy(), proba[4:13], atol=1e-6)
    # One member: the best estimator answers alone, as its own module.
    alone = Search(**QUICK, ensemble=1).fit(x, y)
    assert alone.estimators_ == [alone.best_estimator_] and alone.best_estimator_.seed == 42
    assert alone.predict_proba(x).tobytes() == alone.best_estimator_.predict_proba(x).tobytes()
    assert alone.predict_proba(x).tobytes() == best.predict_proba(x).tobytes()  # the same first member
    assert type(alone.to_module()).__name__ == "_RawInputClassifier"
    # The members' seeds stay within numpy's range at its top.
    top = Search(**dict(QUICK, n_candidates=2), ensemble=3, seed=2**32 - 1).fit(x, y)
    assert [m.seed for m in top.estimators_] == [2**32 - 1, 1, 2]


def test_the_same_seed_reproduces_the_search_with_worker_processes_too():
    x, y = series(n=48, classes=3, seed=3)
    labels = np.array(["walk", "run", "sit"])[y]
    runs = [Search(**QUICK, seed=7, n_jobs=jobs).fit(x, labels) for jobs in (1, 1, 2)]
    for other in runs[1:]:
        assert other.best_params_ == runs[0].best_params_
        for key in ("mean_test_score", "split0_test_score", "split1_test_score"):
            np.testing.assert_array_equal(other.cv_results_[key], runs[0].cv_results_[key])
        assert other.cv_results_["params"] == runs[0].cv_results_["params"]
        assert other.predict_proba(x).tobytes() == runs[0].predict_proba(x).tobytes()
        np.testing.assert_array_equal(other.predict(x), runs[0].predict(x))
    # Another seed draws other candidates.
    assert Search(**QUICK, seed=8).fit(x, labels).cv_results_["params"][:5] != runs[0].cv_results_["params"][:5]


def test_a_tiny_budget_stops_after_the_first_wave_and_a_generous_one_changes_nothing():
    x, y = series(n=48)
    # One worker: a wave is one candidate with its folds; only the first wave always runs.
    search = Search(**dict(QUICK, maxEpochs=12), time_budget=1e-3).fit(x, y)
    assert search.stopped_by_budget_ and search.n_iterations_ == 1 and search.n_possible_iterations_ == 3
    assert search.n_candidates_ == [1] and list(search.cv_results_["iter"]) == [0]
    assert len(search.estimators_) == 1  # the ensemble's first wave: one member
    # The first rung's epochs: 12 / 2 / 2 = 3, raised to the floor of 10.
    assert search.best_params_["maxEpochs"] == 10 == search.best_estimator_.maxEpochs
    assert search.best_index_ == 0 and len(search.best_estimator_.train_rows_) > 0
    # Two workers: the first wave holds two candidates.
    two = Search(**dict(QUICK, maxEpochs=12), time_budget=1e-3, n_jobs=2).fit(x, y)
    assert two.n_candidates_ == [2] and len(two.estimators_) == 2
    # A budget that is never reached gives the unbudgeted search's bits.
    free = Search(**QUICK).fit(x, y)
    full = Search(**QUICK, time_budget=3600).fit(x, y)
    assert not full.stopped_by_budget_ and full.n_candidates_ == [5, 3, 2]
    assert full.cv_results_["params"] == free.cv_results_["params"]
    np.testing.assert_array_equal(full.cv_results_["mean_test_score"], free.cv_results_["mean_test_score"])
    assert full.predict_proba(x).tobytes() == free.predict_proba(x).tobytes()


def test_unequal_lengths_fit_predict_and_pickle():
    x, y = series(n=40, ragged=(10, 40))
    search = Search(**QUICK).fit(x, y)
    assert not hasattr(search, "n_features_in_")
    pred = search.predict(x[:5])
    restored = pickle.loads(pickle.dumps(search))
    np.testing.assert_array_equal(restored.predict(x[:5]), pred)
    assert restored.predict_proba(x[:5]).tobytes() == search.predict_proba(x[:5]).tobytes()
    assert restored.best_params_ == search.best_params_


@pytest.mark.parametrize("params, message", [
    ({"n_candidates": 0}, "n_candidates 必须为正整数"),
    ({"factor": 1}, "factor 必须为不小于2的整数"),
    ({"cv": 1}, "cv 必须为不小于2的整数"),
    ({"maxEpochs": 0}, "maxEpochs 必须为正整数"),
    ({"time_budget": 0}, "time_budget 必须为正数或 None"),
    ({"time_budget": float("nan")}, "time_budget 必须为正数或 None"),
    ({"ensemble": 0}, "ensemble 必须为正整数"),
])
def test_settings_are_checked_in_fit(params, message):
    x, y = series(n=30)
    search = Search(**params)
    assert search.get_params()[next(iter(params))] is params[next(iter(params))]  # stored as given
    with pytest.raises(ValueError, match=message):
        search.fit(x, y)


def test_parameters_and_the_defaults_of_the_searched_estimator():
    assert list(inspect.signature(Search).parameters) == [
        "n_candidates", "factor", "cv", "maxEpochs", "time_budget", "n_jobs", "seed", "sequenceAxis", "deviceSel",
        "verbose", "ensemble"]
    assert clone(Search(n_jobs=2)).get_params() == Search(n_jobs=2).get_params()
    # The estimator it searches over keeps its own defaults.
    defaults = H.HybridSeqClassifier().get_params()
    assert (defaults["convChannels"], defaults["poolSize"], defaults["networkType"]) == ((32, 64), 2, "LSTM")


CHECKED = Search(n_candidates=2, cv=2, maxEpochs=20, deviceSel="cpu", ensemble=2)  # the mean of two members answers


@estimator_checks(CHECKED)
def test_scikit_learn_estimator_checks(estimator, check):
    check(estimator)
