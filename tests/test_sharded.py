"""Sharded data-parallel training ("dataParallel": "sharded"): every rank passes
only its own rows and gets what one call on the concatenation of the shards in
rank order returns. Ranks are processes started here (gloo over 127.0.0.1),
each bounded by a timeout."""
import json
import os
import re

import numpy as np
import pytest

from conftest import require
from rank_group import WORKER_HEADER, run_ranks
from HybridSeqTrain import HybridSeqClassifier
from RatePredictions import RatePredictions


@pytest.fixture(autouse=True)
def _gloo():
    require("gloo")


# One rank (world 0: one process, no group): makes its own shard of the call's
# data set, each row drawn from a generator of its own (so a shard is made
# without the others), runs the call and pickles what it returned or raised.
WORKER = WORKER_HEADER + r"""


def rows(call, start, stop):
    n, features, length = call["n"], call.get("features", 2), call.get("length", 16)
    i = np.arange(start, stop)
    y = i % 3
    if call.get("lacking"):  # the first rows hold classes 0 and 1 only
        y = np.where(i < call["lacking"] * n, i % 2, y)
    t = np.linspace(0, 1, length, dtype=np.float32)
    x = np.empty((stop - start, features, length), np.float32)
    for k, row in enumerate(i):
        x[k] = np.random.default_rng([7, row]).standard_normal((features, length), dtype=np.float32) * 0.8
        x[k] += np.sin(2 * np.pi * (y[k] + 1) * t)
    return x, y


def shard(call):
    if world == 0:
        return rows(call, 0, call["n"])
    cuts = np.round(np.cumsum([0.0] + call["shares"]) * call["n"]).astype(int)
    x, y = rows(call, cuts[rank], cuts[rank + 1])
    change = call.get("change", {}).get(str(rank))
    if change == "shape":
        x = np.concatenate([x, x[:, :1]], axis=1)  # one feature more
    elif change == "strings":
        y = np.array(["c%d" % v for v in y])
    elif change == "nan":
        x[0, 0, 0] = np.nan
    elif change == "bump":
        x[-1, -1, -1] += 1
    return x, y, int(cuts[rank])


class KillAt:  # rank 0's console: SIGKILL at the first line starting with `text`
    def __init__(self, text):
        self.text = text
    def write(self, s):
        sys.__stdout__.write(s)
        if s.startswith(self.text):
            sys.__stdout__.flush()
            os.kill(os.getpid(), signal.SIGKILL)
    def flush(self):
        sys.__stdout__.flush()


def stamp():  # wall and CPU seconds of this process
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return time.monotonic(), usage.ru_utime + usage.ru_stime


def measured(result, start):  # the call's wall and CPU seconds, the process's peak RSS (KiB) so far
    result["wall"], result["cpu"] = [b - a for a, b in zip(start, stamp())]
    result["maxrss"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


if world > 0:
    dist.init_process_group("gloo", init_method="tcp://127.0.0.1:%d" % port, rank=rank, world_size=world,
                            timeout=datetime.timedelta(seconds=job["timeout"]))
results = []
for call in job["calls"]:
    sys.stdout.write("@@call %d\n" % len(results))
    sys.stdout.flush()
    rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    made = shard(call)
    X, Y, first = made if world else made + (0,)
    options = dict(call["options"], **call.get("rank_options", {}).get(str(rank), {}))
    if call.get("checkpoint"):
        options["checkpointPath"] = call["checkpoint"]
    if call.get("kill") and rank == 0:
        sys.stdout = KillAt(call["kill"])
    result = {"rows": len(Y), "rss_before": rss_before}
    start = stamp()
    try:
        if call.get("kind") == "estimator":
            clf = H.HybridSeqClassifier(**options).fit(X, Y)
            measured(result, start)
            result["train_rows"], result["validation_rows"] = clf.train_rows_, clf.validation_rows_
            result["predict"] = clf.predict(rows(call, 0, call["n"])[0])
            model = clf.model_
        else:
            result["fore"], result["fore_train"], model, info = H.HybridSeqTrain(X, Y, options)
            measured(result, start)
            result["info"] = {k: v for k, v in info.items() if k != "options"}
            # The returned network's own output on this rank's test rows, against
            # what the call reported for them at their global positions.
            mine = (info["testIdx"] >= first) & (info["testIdx"] < first + len(Y))
            if mine.any() and world:
                x = (X[info["testIdx"][mine] - first] - info["normalizationMean"]) / info["normalizationStd"]
                with torch.no_grad():
                    own = torch.softmax(model(torch.as_tensor(x, dtype=torch.float32)), dim=1).numpy()
                result["own_gap"] = float(np.abs(own - info["probabilityTest"][mine]).max())
        result["state"] = {k: v.detach().cpu().numpy().tobytes() for k, v in model.state_dict().items()}
    except Exception as exc:
        result["error"] = (type(exc).__name__, str(exc))
        measured(result, start)
    sys.stdout.flush()
    results.append(result)
    with open(out_path, "wb") as f:
        pickle.dump(results, f)
"""

# Dropout 0, every epoch run, one thread a rank: the only difference from one
# process is where each batch's rows are computed. A rate low enough that the
# run is not chaotic: inputs changed by 1e-7 (relative) move the validation
# losses of one process by at most 1.5e-4 (relative), its test accuracy not at all.
OPTIONS = {"figflag": False, "showFigures": False, "deviceSel": "cpu", "convChannels": [4], "rnnHidden": 6,
           "batchSize": 16, "maxEpochs": 4, "earlyStoppingPatience": 0, "dropout": 0.0, "learnRate": 0.003}
SHARDED = dict(OPTIONS, dataParallel="sharded")
N = 301  # no shard below, nor any set of the split, is a multiple of batchSize


def call(shares, **extra):
    return dict({"n": N, "shares": shares, "options": SHARDED}, **extra)


# (layout, data set): cut points of the concatenation, rank by rank.
LAYOUTS = {
    "2 ranks 50/50": call([0.5, 0.5]),
    "2 ranks 30/70": call([0.3, 0.7]),
    "3 ranks 10/20/70": call([0.1, 0.2, 0.7]),
    "rank 0 lacks class 2": call([0.4, 0.6], lacking=0.4),
}
# A rank's own difference, and what every rank's ValueError contains.
REFUSALS = [
    ({"rank_options": {"1": {"maxEpochs": 5}}}, ["options['maxEpochs']", "进程 0", "进程 1"]),
    ({"change": {"1": "shape"}}, ["样本形状", "进程 0", "进程 1"]),
    ({"change": {"1": "strings"}}, ["Y 的类型", "进程 0", "进程 1"]),
    ({"change": {"1": "nan"}}, ["X 中不能包含 NaN 或 Inf"]),
]
EMPTY = call([0.5, 0.0, 0.5])
ESTIMATOR = dict(call([0.3, 0.7]), kind="estimator")
# Killed at the line of epoch 5 of 6 (that epoch's checkpoint or the one
# before is on disk).
CHECKPOINTED = call([0.5, 0.5], options=dict(SHARDED, maxEpochs=6))
CHECKPOINT_KILL = "Epoch   5 |"


@pytest.fixture(scope="module")
def single(tmp_path_factory):
    """One process, no group, on the concatenations."""
    calls = [dict(call([1.0]), options=OPTIONS), dict(call([1.0], lacking=0.4), options=OPTIONS),
             dict(ESTIMATOR, options=OPTIONS)]
    results, _ = run_ranks(WORKER, 0, json.dumps({"calls": calls}), tmp_path_factory.mktemp("single"))[0]
    return {"even": results[0], "lacking": results[1], "estimator": results[2]}


def _job(calls, timeout=20):
    return json.dumps({"timeout": timeout, "calls": calls})


def _outputs(stdout):
    return [o.split("\n", 1)[1] for o in stdout.split("@@call ")[1:]]


def _named(runs, names):
    """{call name: [(result, console) of each rank]}."""
    return {name: [(results[i], _outputs(stdout)[i]) for results, stdout in runs] for i, name in enumerate(names)}


@pytest.fixture(scope="module")
def two_ranks(tmp_path_factory):
    """The first call is checkpointed and killed on rank 0 after epoch 5 (rank 1
    then fails); the group started next resumes it."""
    tmp = tmp_path_factory.mktemp("two")
    path = str(tmp / "sharded.ckpt")
    killed = run_ranks(WORKER, 2, _job([dict(CHECKPOINTED, checkpoint=path, kill=CHECKPOINT_KILL)], 10),
                       tmp, killed={0})
    assert killed[0][0] is None and "error" in killed[1][0][0] and os.path.exists(path)
    calls = {name: c for name, c in LAYOUTS.items() if not name.startswith("3 ")}
    calls["uninterrupted"] = CHECKPOINTED
    calls["resumed"] = calls["finished"] = dict(CHECKPOINTED, checkpoint=path)
    calls["other shard"] = dict(CHECKPOINTED, checkpoint=path, change={"1": "bump"})
    calls.update(("refusal %d" % i, dict(call([0.5, 0.5]), **change)) for i, (change, _) in enumerate(REFUSALS))
    calls["estimator"], calls["estimator alone"] = ESTIMATOR, dict(ESTIMATOR, options=OPTIONS)
    runs = _named(run_ranks(WORKER, 2, _job(list(calls.values())), tmp), list(calls))
    runs["path"] = path
    return runs


@pytest.fixture(scope="module")
def three_ranks(tmp_path_factory):
    runs = run_ranks(WORKER, 3, _job([LAYOUTS["3 ranks 10/20/70"], EMPTY]), tmp_path_factory.mktemp("three"))
    return _named(runs, ["3 ranks 10/20/70", "empty"])


def _same(a, b, where=""):
    """Equal to the bit: arrays (dtype, shape, bytes), dicts and lists element by element."""
    if isinstance(a, dict):
        assert a.keys() == b.keys(), where
        for k in a:
            _same(a[k], b[k], "%s.%s" % (where, k))
    elif isinstance(a, (list, tuple)):
        assert len(a) == len(b), where
        for i, (x, y) in enumerate(zip(a, b)):
            _same(x, y, "%s[%d]" % (where, i))
    elif isinstance(a, np.ndarray):
        assert a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes(), where
    else:
        assert a == b, where


@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_every_rank_returns_the_single_call_on_the_concatenation(layout, single, two_ranks, three_ranks):
    runs = (three_ranks if layout.startswith("3 ") else two_ranks)[layout]
    ref = single["lacking" if "lacking" in LAYOUTS[layout] else "even"]
    first, console = runs[0]
    assert "error" not in first, first.get("error")
    for result, output in runs[1:]:
        assert "error" not in result, result.get("error")
        for key in ("state", "fore", "fore_train"):
            _same(first[key], result[key], key)
        _same({k: v for k, v in first["info"].items() if k != "shapeInfo"},
              {k: v for k, v in result["info"].items() if k != "shapeInfo"}, "info")
        assert output == ""  # rank 0 alone prints
    assert "Epoch   1 |" in console and "测试集: Accuracy=" in console
    info, expected = first["info"], ref["info"]
    for key in ("trainIdx", "valIdx", "testIdx", "classes", "YTrain", "YValidation", "YTest"):
        _same(info[key], expected[key], key)
    for key in ("normalizationMean", "normalizationStd"):
        np.testing.assert_allclose(info[key], expected[key], rtol=1e-5, atol=0)
    for key in ("fore", "fore_train"):
        assert first[key].shape == ref[key].shape and first[key].dtype == ref[key].dtype
    for key in ("probabilityTrain", "probabilityValidation", "probabilityTest"):
        assert info[key].shape == expected[key].shape
    assert len(info["history"]["valLoss"]) == len(expected["history"]["valLoss"])
    # Each row counted once, at its own position: the metrics are those of the
    # labels and predictions returned, the network's own outputs on each
    # rank's test rows are the probabilities reported for them.
    classes = list(info["classes"])
    for idx, truth, predicted, prob, metrics in (
            ("trainIdx", "YTrain", first["fore_train"], "probabilityTrain", "metricsTrain"),
            ("valIdx", "YValidation", info["foreDataValidation"], "probabilityValidation", "metricsValidation"),
            ("testIdx", "YTest", first["fore"], "probabilityTest", "metricsTest")):
        assert len(info[truth]) == len(predicted) == len(info[prob]) == len(info[idx])
        _same(np.asarray(info["classes"])[info[prob].argmax(axis=1)], predicted, prob)
        codes = [np.array([classes.index(v) for v in values]) for values in (info[truth], predicted)]
        again = RatePredictions(codes[0], codes[1], np.arange(len(classes)))
        assert np.asarray(info[metrics]["confusionMatrix"]).sum() == len(info[idx])
        _same(np.asarray(again["confusionMatrix"]), np.asarray(info[metrics]["confusionMatrix"]), metrics)
        assert again["accuracy"] == pytest.approx(info[metrics]["accuracy"], abs=1e-12)
    for result, _ in runs:
        if "own_gap" in result:
            assert result["own_gap"] < 1e-5
    assert any("own_gap" in result for result, _ in runs)
    # Each step's gradient is the weighted mean over its whole batch, but
    # BatchNorm normalises each rank's part of a batch with that part's own
    # statistics: the validation losses within 1e-2 (relative) of one
    # process's (measured up to 5.4e-3), the test accuracy within two of the 61 rows.
    np.testing.assert_allclose(info["history"]["valLoss"], expected["history"]["valLoss"], rtol=1e-2)
    assert abs(info["metricsTest"]["accuracy"] - expected["metricsTest"]["accuracy"]) <= 2 / 61 + 1e-9
    assert expected["metricsTest"]["accuracy"] > 0.6


def test_refusals_reach_every_rank_within_seconds(two_ranks, three_ranks):
    cases = [(two_ranks["refusal %d" % i], texts) for i, (_, texts) in enumerate(REFUSALS)]
    cases.append((three_ranks["empty"], ["数据并行（分片）训练时每个进程至少需要1条样本：进程 1 没有样本"]))
    for ranks, texts in cases:
        for rank, (result, output) in enumerate(ranks):
            assert result.get("error", ("",))[0] == "ValueError", (texts, rank, result.get("error"))
            assert all(t in result["error"][1] for t in texts), (texts, rank, result["error"])
            assert result["wall"] < 5 and "Epoch" not in output, (texts, rank)
    # A rank whose own data the pipeline refuses raises its own error; the
    # others say which rank it was.
    nan = [result["error"][1] for result, _ in two_ranks["refusal %d" % (len(REFUSALS) - 1)]]
    assert nan[1].startswith("X 中不能包含 NaN 或 Inf") and "进程 1" in nan[0]


def test_a_killed_sharded_run_resumes_bit_identical_and_the_file_covers_every_shard(two_ranks):
    path = two_ranks["path"]
    for rank in range(2):
        reference = two_ranks["uninterrupted"][rank][0]
        for name in ("resumed", "finished"):
            result = two_ranks[name][rank][0]
            assert "error" not in result, (name, result.get("error"))
            for key in ("state", "fore", "fore_train", "info"):
                _same(reference[key], result[key], key)
        # Another shard on rank 1 is another data set for the file.
        error = two_ranks["other shard"][rank][0].get("error")
        assert error is not None and error[0] == "ValueError" and path in error[1], error
    resumed, finished = two_ranks["resumed"][0][1], two_ranks["finished"][0][1]
    # killed at epoch 5's line: that epoch's checkpoint or the one before
    assert re.search("从检查点 %s 恢复：已完成 [45] 轮" % re.escape(path), resumed), resumed
    assert "不再训练" in finished and "Epoch" not in finished


def test_the_estimator_fits_sharded_only_when_asked(single, two_ranks):
    assert HybridSeqClassifier().get_params()["dataParallel"] is False
    sharded0 = two_ranks["estimator"][0][0]
    for (sharded, _), (alone, _) in zip(two_ranks["estimator"], two_ranks["estimator alone"]):
        assert "error" not in sharded and "error" not in alone, (sharded.get("error"), alone.get("error"))
        for key in ("train_rows", "validation_rows"):
            _same(sharded[key], single["estimator"][key], key)
        _same(sharded["state"], sharded0["state"], "state")
        _same(sharded["predict"], sharded0["predict"], "predict")
        # Alone by default: the rows of its own shard, its own network.
        rows = np.sort(np.concatenate([alone["train_rows"], alone["validation_rows"]]))
        _same(rows, np.arange(alone["rows"]), "rows")
    assert two_ranks["estimator alone"][0][0]["state"] != two_ranks["estimator alone"][1][0]["state"]
