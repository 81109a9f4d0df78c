// HybridSeqClassifierCV: fits the best HybridSeqClassifier it finds for the
// data. The candidate shapes come from the data (lengths, samples, channels,
// classes); successive halving over stratified folds of the training data
// ranks them, each rung giving the survivors `factor` times the epochs; the
// best is refitted on all the training data. The work is fixed by the
// candidates and the schedule, so a seed reproduces the whole search; an
// optional time budget ends it between two waves of fits.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <numeric>

#include "binding/docstrings_cv.h"
#include "binding/stages.h"

namespace hst {

namespace {

constexpr const char* kCVName = "HybridSeqClassifierCV";
// The recurrent layer should see between these many steps after pooling.
constexpr double kFewestSteps = 12, kMostSteps = 64;
// No rung trains fewer epochs than this (or maxEpochs when smaller).
constexpr int64_t kFewestEpochs = 10;

// (name, default) of every parameter, in order.
std::vector<std::pair<std::string, py::object>> cv_parameters() {
  return {{"n_candidates", py::int_(16)}, {"factor", py::int_(3)},   {"cv", py::int_(3)},
          {"maxEpochs", py::int_(100)},   {"time_budget", py::none()}, {"n_jobs", py::none()},
          {"seed", py::int_(42)},         {"sequenceAxis", py::int_(-1)}, {"deviceSel", py::str("auto")},
          {"verbose", py::bool_(false)},  {"ensemble", py::int_(5)}};
}

void cv_init(py::args args) {
  py::object self = args[0];
  const auto params = cv_parameters();
  for (size_t i = 0; i < params.size(); ++i) py::setattr(self, params[i].first.c_str(), args[i + 1]);
}

// The search's own settings, checked.
struct Settings {
  int64_t n_candidates, factor, cv, max_epochs, ensemble;
  double time_budget;  // <= 0: none
  py::object n_jobs, seed;
};

Settings read_settings(py::object self) {
  Settings s;
  auto at_least = [&](const char* name, int64_t low, const std::string& message) {
    py::object v = to_int(self.attr(name));
    if (py_lt(v, static_cast<double>(low))) raise_value_error(message);
    return int64_saturating(v);
  };
  s.n_candidates = at_least("n_candidates", 1, "n_candidates 必须为正整数");
  s.factor = at_least("factor", 2, "factor 必须为不小于2的整数");
  s.cv = at_least("cv", 2, "cv 必须为不小于2的整数");
  s.max_epochs = at_least("maxEpochs", 1, "maxEpochs 必须为正整数");
  s.ensemble = at_least("ensemble", 1, "ensemble 必须为正整数");
  s.time_budget = 0;
  py::object budget = self.attr("time_budget");
  if (!budget.is_none()) {
    py::object b = to_float(budget);
    if (!py_lt(py::float_(0.0), as_double(b)) || std::isnan(as_double(b)))
      raise_value_error("time_budget 必须为正数或 None");
    s.time_budget = as_double(b);
  }
  s.n_jobs = self.attr("n_jobs");
  s.seed = to_int(self.attr("seed"));
  return s;
}

// X as the search reads it: one array (object arrays of numbers as reals),
// or a list of per-sample arrays of unequal length; samples first.
py::object search_input(py::handle X) {
  if (python_bool(py::module_::import("scipy.sparse").attr("issparse")(X)))
    throw py::type_error("X 不能是稀疏矩阵：sparse input is not supported, use X.toarray()");
  py::module_ np = py::module_::import("numpy");
  auto read = [&](py::handle item) {
    py::array a = np.attr("asarray")(item);
    if (a.dtype().kind() == 'O') a = a.attr("astype")(np.attr("float64"));
    if (a.dtype().kind() == 'c') raise_value_error("X 不能是复数 (Complex data not supported)");
    return a;
  };
  py::object samples = ragged_samples(X);
  if (samples.is_none()) {
    py::array a = read(X);
    if (a.ndim() == 2 && a.shape(1) == 0)
      raise_value_error("X 没有特征列：0 feature(s) (shape=(" + std::to_string(a.shape(0)) +
                        ", 0)) while a minimum of 1 is required.");
    return a;
  }
  py::list out;
  for (py::handle item : samples) out.append(read(item));
  return out;
}

// What the space is derived from.
struct Facts {
  int64_t samples = 0, features = 0, classes = 0;
  int64_t length = 0, shortest = 0;  // median and shortest sequence length
  double fold_ratio = 0.15, full_ratio = 0.15;  // validationRatio of a fold's fit, of the refit
  int64_t fit_rows = 0;  // rows a fold's fit trains on
};

// The hold-out share that keeps at least one sample of each class in the
// stratified hold-out of `rows` rows.
double hold_out_ratio(int64_t classes, int64_t rows) {
  return std::min(0.45, std::max(0.15, static_cast<double>(classes) / std::max<int64_t>(rows, 1)));
}

// Labels as one array, with the pipeline's own refusals of too few samples
// or classes; also y's checks in scikit-learn's conventions.
py::array read_target(py::handle y) {
  if (y.is_none()) raise_value_error(std::string(kCVName) + " requires y to be passed, but the target y is None");
  py::module_ np = py::module_::import("numpy");
  py::array target = np.attr("asarray")(y);
  if (target.ndim() == 2 && target.shape(1) == 1)
    py::module_::import("warnings")
        .attr("warn")("A column-vector y was passed when a 1d array was expected. Please change the shape of y to "
                      "(n_samples,), for example using ravel().",
                      py::module_::import("sklearn.exceptions").attr("DataConversionWarning"),
                      py::arg("stacklevel") = 2);
  const char kind = target.dtype().kind();
  if (kind == 'f' || kind == 'c')
    py::module_::import("sklearn.utils").attr("assert_all_finite")(target, py::arg("input_name") = "y");
  target = target.attr("reshape")(-1);
  if (target.size() < 3) raise_value_error("Y 至少需要3条样本");
  if (py::len(np.attr("unique")(target)) < 2) raise_value_error("分类任务至少需要两个类别");
  return target;
}

Facts data_facts(py::object X, const py::array& y, py::handle sequence_axis, int64_t folds) {
  py::module_ np = py::module_::import("numpy");
  py::tuple adapted = adapt_to_sequence(X, py::int_(y.size()), to_int(sequence_axis), py::int_(0));
  py::array sequences = adapted[0];
  py::dict info = adapted[1];
  const at::Tensor own = recorded_lengths(info);
  std::vector<int64_t> lengths = own.defined()
                                     ? std::vector<int64_t>(own.data_ptr<int64_t>(), own.data_ptr<int64_t>() + own.numel())
                                     : std::vector<int64_t>(sequences.shape(0), sequences.shape(2));
  Facts f;
  f.samples = y.size();
  f.features = sequences.shape(1);
  f.classes = py::len(np.attr("unique")(y));
  std::sort(lengths.begin(), lengths.end());
  f.shortest = lengths.front();
  f.length = lengths[lengths.size() / 2];
  const int64_t fold_rows = f.samples * (folds - 1) / folds;
  f.fold_ratio = hold_out_ratio(f.classes, fold_rows);
  f.full_ratio = hold_out_ratio(f.classes, f.samples);
  f.fit_rows = static_cast<int64_t>(std::floor(fold_rows * (1.0 - f.fold_ratio)));
  return f;
}

// The candidate grid, (name, values) in a fixed order.
using Space = std::vector<std::pair<std::string, py::list>>;

Space search_space(const Facts& f, int64_t max_epochs) {
  Space space;
  auto add = [&](const char* name, py::list values) { space.emplace_back(name, values); };
  const double length = static_cast<double>(f.length);
  py::list types;
  for (const char* t : {"GRU", "LSTM", "BiGRU", "BiLSTM"}) types.append(t);
  add("networkType", types);
  // Depth 1-3, widths doubling from 32 (64 for many channels); short
  // sequences gain nothing from a third layer.
  const int64_t width = f.features > 32 ? 64 : 32;
  py::list stacks;
  for (int64_t depth = 1; depth <= (length < 32 ? 2 : 3); ++depth) {
    py::tuple stack(depth);
    for (int64_t i = 0; i < depth; ++i) stack[i] = py::int_(width << i);
    stacks.append(stack);
  }
  add("convChannels", stacks);
  py::list kernels;
  for (int k : (length < 64 ? std::vector<int>{3, 5, 7} : std::vector<int>{5, 7, 9})) kernels.append(k);
  add("kernelSize", kernels);
  // Pooling that leaves the recurrent layer a manageable number of steps,
  // never past the shortest sample.
  py::list pools;
  for (int64_t p = 1; p <= f.shortest; p *= 2)
    if (length / p >= kFewestSteps && length / p <= kMostSteps) pools.append(p);
  if (py::len(pools) == 0) {
    int64_t p = 1;
    if (length >= kFewestSteps)
      while (p * 2 <= f.shortest) p *= 2;
    pools.append(p);
  }
  add("poolSize", pools);
  py::list hidden;
  for (int h : (f.fit_rows >= 500 ? std::vector<int>{64, 128} : std::vector<int>{32, 64})) hidden.append(h);
  add("rnnHidden", hidden);
  py::list rates;
  rates.append(1e-3);
  rates.append(3e-3);
  add("learnRate", rates);
  // At least four batches an epoch.
  py::list batches;
  for (int b : {16, 32, 64})
    if (f.fit_rows >= 4 * b) batches.append(b);
  if (py::len(batches) == 0) batches.append(8);
  add("batchSize", batches);
  py::list patience;
  patience.append(std::max<int64_t>(5, max_epochs / 10));
  patience.append(std::max<int64_t>(10, max_epochs / 5));
  add("earlyStoppingPatience", patience);
  return space;
}

py::dict space_dict(const Space& space) {
  py::dict d;
  for (const auto& [name, values] : space) d[py::str(name)] = values;
  return d;
}

// The seeded draw of candidates: distinct grid points, in draw order.
std::vector<py::dict> draw_candidates(const Space& space, int64_t count, py::object seed) {
  int64_t total = 1;
  for (const auto& [name, values] : space) total *= static_cast<int64_t>(py::len(values));
  py::module_ np = py::module_::import("numpy");
  py::object rng = np.attr("random").attr("RandomState")(python_bool(seed) ? seed : py::object(py::none()));
  py::array picks = rng.attr("choice")(total, std::min(count, total), py::arg("replace") = false);
  std::vector<py::dict> out;
  for (py::handle pick : picks) {
    int64_t code = pick.cast<int64_t>();
    py::dict params;
    for (auto it = space.rbegin(); it != space.rend(); ++it) {
      const int64_t n = static_cast<int64_t>(py::len(it->second));
      params[py::str(it->first)] = it->second[py::int_(code % n)];
      code /= n;
    }
    py::dict ordered;  // the grid's own order of names
    for (const auto& [name, values] : space) ordered[py::str(name)] = params[py::str(name)];
    out.push_back(ordered);
  }
  return out;
}

double elapsed_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One fit of a candidate on a fold (run in a worker process when n_jobs asks
// for them): (accuracy on the held-out rows, fit seconds, score seconds,
// epochs trained).
py::tuple search_fit(py::object estimator, py::object X, py::object y, py::object train, py::object test) {
  auto take = [](py::object data, py::object rows) -> py::object {
    if (!py::isinstance<py::list>(data)) return data.attr("__getitem__")(rows);
    py::list out;
    for (py::handle r : rows) out.append(data.attr("__getitem__")(r));
    return out;
  };
  const auto start = std::chrono::steady_clock::now();
  estimator.attr("fit")(take(X, train), take(y, train));
  const double fit_time = elapsed_since(start);
  const auto scored = std::chrono::steady_clock::now();
  py::object score = estimator.attr("score")(take(X, test), take(y, test));
  const double score_time = elapsed_since(scored);
  py::dict history = estimator.attr("history_");
  return py::make_tuple(to_float(score), fit_time, score_time, py::len(history["trainLoss"]));
}

// One member of the refit (in a worker process when n_jobs asks for them).
py::object search_refit(py::object estimator, py::object X, py::object y) { return estimator.attr("fit")(X, y); }

// One evaluated (candidate, rung): a row of cv_results_.
struct Row {
  int64_t rung, epochs, candidate;
  py::dict params;  // with maxEpochs
  std::vector<double> scores, fit_times, score_times;
  int64_t epochs_trained = 0;
  double mean() const { return std::accumulate(scores.begin(), scores.end(), 0.0) / scores.size(); }
};

double mean_of(const std::vector<double>& v) { return std::accumulate(v.begin(), v.end(), 0.0) / v.size(); }
double std_of(const std::vector<double>& v) {
  const double m = mean_of(v);
  double s = 0;
  for (double x : v) s += (x - m) * (x - m);
  return std::sqrt(s / v.size());
}

// cv_results_ in the layout of scikit-learn's halving searches.
py::dict results_of(const std::vector<Row>& rows, const Space& space, int64_t folds) {
  py::module_ np = py::module_::import("numpy");
  const size_t n = rows.size();
  auto column = [&](auto value) {
    py::list out;
    for (const Row& r : rows) out.append(value(r));
    return np.attr("asarray")(out);
  };
  py::dict res;
  res["mean_fit_time"] = column([](const Row& r) { return mean_of(r.fit_times); });
  res["std_fit_time"] = column([](const Row& r) { return std_of(r.fit_times); });
  res["mean_score_time"] = column([](const Row& r) { return mean_of(r.score_times); });
  res["std_score_time"] = column([](const Row& r) { return std_of(r.score_times); });
  std::vector<std::string> names;
  for (const auto& [name, values] : space) names.push_back(name);
  names.push_back("maxEpochs");
  for (const std::string& name : names) {
    py::array data = np.attr("empty")(n, py::arg("dtype") = py::module_::import("builtins").attr("object"));
    for (size_t i = 0; i < n; ++i) data.attr("__setitem__")(i, rows[i].params[py::str(name)]);
    res[py::str("param_" + name)] =
        np.attr("ma").attr("MaskedArray")(data, py::arg("mask") = np.attr("zeros")(n, py::arg("dtype") = "bool"));
  }
  py::list params;
  for (const Row& r : rows) params.append(r.params);
  res["params"] = params;
  for (int64_t k = 0; k < folds; ++k)
    res[py::str("split" + std::to_string(k) + "_test_score")] = column([k](const Row& r) { return r.scores[k]; });
  res["mean_test_score"] = column([](const Row& r) { return r.mean(); });
  res["std_test_score"] = column([](const Row& r) { return std_of(r.scores); });
  // Later rungs rank first; within a rung, by mean score (ties share a rank).
  py::list ranks;
  for (const Row& r : rows) {
    int64_t better = 0;
    for (const Row& o : rows) better += o.rung > r.rung || (o.rung == r.rung && o.mean() > r.mean());
    ranks.append(better + 1);
  }
  res["rank_test_score"] = np.attr("asarray")(ranks, py::arg("dtype") = np.attr("int32"));
  res["iter"] = column([](const Row& r) { return r.rung; });
  res["n_resources"] = column([](const Row& r) { return r.epochs; });
  return res;
}

// The HybridSeqClassifier of one candidate; `member` shifts the seed (the
// refit's ensemble members; seed 0 leaves every fit unseeded).
py::object candidate_estimator(py::object module, py::object self, const py::dict& params, int64_t epochs,
                               double ratio, int64_t member = 0) {
  py::dict kwargs;
  for (auto item : params) kwargs[item.first] = item.second;
  kwargs["maxEpochs"] = epochs;
  kwargs["validationRatio"] = ratio;
  // Consecutive seeds, wrapping within 1 .. 2**32 - 1 (numpy's seeds; 0 would leave a member unseeded).
  py::object seed = to_int(self.attr("seed"));
  if (python_bool(seed) && member > 0)
    seed = seed.attr("__add__")(py::int_(member - 1)).attr("__mod__")(py::int_(0xFFFFFFFFLL)).attr("__add__")(py::int_(1));
  kwargs["seed"] = seed;
  kwargs["deviceSel"] = self.attr("deviceSel");
  kwargs["sequenceAxis"] = self.attr("sequenceAxis");
  kwargs["sampleDimension"] = 0;
  return module.attr("HybridSeqClassifier")(**kwargs);
}

py::object cv_search_space(py::object self, py::object X, py::object y) {
  const Settings s = read_settings(self);
  py::array target = read_target(y);
  const Facts f = data_facts(search_input(X), target, self.attr("sequenceAxis"), s.cv);
  return space_dict(search_space(f, s.max_epochs));
}

py::object cv_fit(py::object module, py::object self, py::object X, py::object y) {
  const auto start = std::chrono::steady_clock::now();
  const Settings s = read_settings(self);
  py::array target = read_target(y);
  X = search_input(X);
  const Facts facts = data_facts(X, target, self.attr("sequenceAxis"), s.cv);
  const Space space = search_space(facts, s.max_epochs);
  const std::vector<py::dict> candidates = draw_candidates(space, s.n_candidates, s.seed);
  const bool verbose = python_bool(self.attr("verbose"));

  // The schedule: survivors per rung, epochs per rung.
  std::vector<int64_t> alive_counts{static_cast<int64_t>(candidates.size())};
  while (alive_counts.back() > s.factor) alive_counts.push_back((alive_counts.back() + s.factor - 1) / s.factor);
  const size_t rungs = alive_counts.size();
  std::vector<int64_t> epochs(rungs);
  for (size_t i = 0; i < rungs; ++i) {
    double e = static_cast<double>(s.max_epochs);
    for (size_t j = i + 1; j < rungs; ++j) e /= s.factor;
    epochs[i] = std::max<int64_t>(std::min(kFewestEpochs, s.max_epochs), static_cast<int64_t>(std::llround(e)));
  }

  py::module_ np = py::module_::import("numpy");
  py::object folds_maker = py::module_::import("sklearn.model_selection")
                               .attr("StratifiedKFold")(s.cv, py::arg("shuffle") = true,
                                                        py::arg("random_state") =
                                                            python_bool(s.seed) ? s.seed : py::object(py::none()));
  std::vector<std::pair<py::object, py::object>> folds;
  // Folds stratified on the class codes (labels of any type, objects included).
  py::object codes = np.attr("unique")(target, py::arg("return_inverse") = true)[py::int_(1)];
  for (py::handle split : folds_maker.attr("split")(np.attr("zeros")(target.size()), codes))
    folds.emplace_back(split[py::int_(0)], split[py::int_(1)]);

  py::module_ joblib = py::module_::import("joblib");
  py::object fit_one = module.attr("_search_fit");
  // A rung runs in waves of `workers` candidates (all their folds), so that a
  // budget can end it between waves.
  const size_t workers =
      static_cast<size_t>(std::max<int64_t>(1, joblib.attr("effective_n_jobs")(s.n_jobs).cast<int64_t>()));
  std::vector<Row> rows;
  std::vector<int64_t> alive(candidates.size());
  std::iota(alive.begin(), alive.end(), 0);
  std::vector<size_t> last_rows;  // rows of the last rung with a finished candidate, best first
  py::list n_candidates, n_resources;
  bool stopped = false;
  double busy = 0, busy_wall = 0;  // fit seconds over wall seconds: how much the workers overlap
  for (size_t rung = 0; rung < rungs && !stopped; ++rung) {
    const auto rung_start = std::chrono::steady_clock::now();
    std::vector<size_t> rung_rows;
    double longest_wave = 0;
    for (size_t at = 0; at < alive.size(); at += workers) {
      const size_t end = std::min(alive.size(), at + workers);
      if (s.time_budget > 0 && !(rung == 0 && at == 0)) {
        // Seconds per epoch of one fold's fit: this rung's finished
        // candidates, else the wave's own candidates in the rung before.
        auto rate_of = [&](const Row& r) {
          return std::accumulate(r.fit_times.begin(), r.fit_times.end(), 0.0) /
                 static_cast<double>(std::max<int64_t>(r.epochs_trained, 1));
        };
        double wave = longest_wave, slowest = 0;
        for (size_t i : rung_rows) slowest = std::max(slowest, rate_of(rows[i]));
        if (rung > 0) {
          // Costed as if every fold ran all its epochs.
          double work = 0;
          for (size_t i = at; i < end; ++i)
            for (size_t j : last_rows)
              if (rows[j].candidate == alive[i]) {
                work += rate_of(rows[j]) * static_cast<double>(epochs[rung] * folds.size()) +
                        std::accumulate(rows[j].score_times.begin(), rows[j].score_times.end(), 0.0);
                slowest = std::max(slowest, rate_of(rows[j]));
              }
          const double overlap = std::max(1.0, busy / std::max(busy_wall, 1e-9));
          wave = std::max(wave, work / overlap);
        }
        // The refit trains on all the rows: cv / (cv - 1) times a fold's.
        const double refit = slowest * static_cast<double>(epochs[rung] * s.cv) / (s.cv - 1);
        if (elapsed_since(start) + wave + refit > s.time_budget) {
          stopped = true;
          break;
        }
      }
      const auto wave_start = std::chrono::steady_clock::now();
      py::list tasks;
      for (size_t i = at; i < end; ++i)
        for (const auto& [train, test] : folds)
          tasks.append(joblib.attr("delayed")(fit_one)(
              candidate_estimator(module, self, candidates[alive[i]], epochs[rung], facts.fold_ratio), X, target,
              train, test));
      py::list done = joblib.attr("Parallel")(py::arg("n_jobs") = s.n_jobs)(tasks);
      const double wave_wall = elapsed_since(wave_start);
      longest_wave = std::max(longest_wave, wave_wall);
      busy_wall += wave_wall;
      for (size_t i = at; i < end; ++i) {
        Row row{static_cast<int64_t>(rung), epochs[rung], alive[i], py::dict(), {}, {}, {}};
        for (auto item : candidates[alive[i]]) row.params[item.first] = item.second;
        row.params["maxEpochs"] = epochs[rung];
        for (size_t k = 0; k < folds.size(); ++k) {
          py::tuple r = done[(i - at) * folds.size() + k];
          row.scores.push_back(r[0].cast<double>());
          row.fit_times.push_back(r[1].cast<double>());
          row.score_times.push_back(r[2].cast<double>());
          row.epochs_trained += r[3].cast<int64_t>();
          busy += r[1].cast<double>() + r[2].cast<double>();
        }
        rung_rows.push_back(rows.size());
        rows.push_back(std::move(row));
      }
    }
    // A rung the budget ended before any candidate finished leaves the rung
    // before as the last one.
    if (rung_rows.empty()) break;
    last_rows = rung_rows;
    // Best first; ties keep the order the candidates ran in.
    std::stable_sort(last_rows.begin(), last_rows.end(),
                     [&](size_t a, size_t b) { return rows[a].mean() > rows[b].mean(); });
    n_candidates.append(last_rows.size());
    n_resources.append(epochs[rung]);
    if (verbose)
      print_line("第 " + std::to_string(rung + 1) + " 轮：" + std::to_string(last_rows.size()) + " 个候选 × " +
                 std::to_string(folds.size()) + " 折，maxEpochs=" + std::to_string(epochs[rung]) +
                 "，最佳平均准确率 " + py::str(py::float_(rows[last_rows[0]].mean())).cast<std::string>() + "，用时 " +
                 std::to_string(static_cast<int64_t>(std::lround(elapsed_since(rung_start)))) + " s");
    if (rung + 1 == rungs) break;
    const size_t keep = std::min(last_rows.size(), static_cast<size_t>(alive_counts[rung + 1]));
    alive.clear();
    for (size_t j = 0; j < keep; ++j) alive.push_back(rows[last_rows[j]].candidate);
  }

  // The best of the last rung reached, refitted on all the training data
  // `ensemble` times with consecutive seeds, in waves of `workers` members;
  // the budget may end the ensemble between waves (one member always fits).
  const Row& best = rows[last_rows[0]];
  const auto refit_start = std::chrono::steady_clock::now();
  py::list members;
  py::object refit_one = module.attr("_search_refit");
  double longest_wave = 0;
  for (int64_t at = 0; at < s.ensemble; at += static_cast<int64_t>(workers)) {
    if (at > 0 && s.time_budget > 0 && elapsed_since(start) + longest_wave > s.time_budget) {
      stopped = true;
      break;
    }
    const auto wave_start = std::chrono::steady_clock::now();
    py::list tasks;
    for (int64_t i = at; i < std::min<int64_t>(s.ensemble, at + static_cast<int64_t>(workers)); ++i)
      tasks.append(joblib.attr("delayed")(refit_one)(
          candidate_estimator(module, self, candidates[best.candidate], best.epochs, facts.full_ratio, i), X, target));
    for (py::handle fitted : joblib.attr("Parallel")(py::arg("n_jobs") = s.n_jobs)(tasks)) members.append(fitted);
    longest_wave = std::max(longest_wave, elapsed_since(wave_start));
  }
  py::object chosen = members[0];
  self.attr("refit_time_") = elapsed_since(refit_start);
  if (verbose)
    print_line("重训最佳候选 ×" + std::to_string(py::len(members)) + "：" + text_of(best.params) + "，总用时 " +
               std::to_string(static_cast<int64_t>(std::lround(elapsed_since(start)))) + " s");

  self.attr("estimators_") = members;
  self.attr("best_estimator_") = chosen;
  self.attr("best_index_") = last_rows[0];
  self.attr("best_params_") = best.params.attr("copy")();
  self.attr("best_score_") = best.mean();
  self.attr("cv_results_") = results_of(rows, space, static_cast<int64_t>(folds.size()));
  self.attr("classes_") = chosen.attr("classes_");
  self.attr("search_space_") = space_dict(space);
  self.attr("n_candidates_") = n_candidates;
  self.attr("n_resources_") = n_resources;
  self.attr("n_iterations_") = py::len(n_candidates);
  self.attr("n_possible_iterations_") = rungs;
  self.attr("n_splits_") = folds.size();
  self.attr("stopped_by_budget_") = py::bool_(stopped);
  if (py::hasattr(chosen, "n_features_in_")) self.attr("n_features_in_") = chosen.attr("n_features_in_");
  else if (py::hasattr(self, "n_features_in_")) py::delattr(self, "n_features_in_");
  return self;
}

// The refit's members, the best estimator first (a search pickled before
// the ensemble existed has only that one).
py::list fitted_members(py::object self) {
  py::module_::import("sklearn.utils.validation").attr("check_is_fitted")(self, "best_estimator_");
  if (py::hasattr(self, "estimators_")) return self.attr("estimators_");
  py::list one;
  one.append(self.attr("best_estimator_"));
  return one;
}

// The mean of the members' probabilities (one member: its own).
py::object cv_predict_proba(py::object self, py::object X) {
  py::list members = fitted_members(self);
  if (py::len(members) == 1) return members[0].attr("predict_proba")(X);
  py::list probabilities;
  for (py::handle member : members) probabilities.append(member.attr("predict_proba")(X));
  py::module_ np = py::module_::import("numpy");
  return np.attr("mean")(np.attr("stack")(probabilities), py::arg("axis") = 0);
}

py::object cv_predict(py::object self, py::object X) {
  py::list members = fitted_members(self);
  if (py::len(members) == 1) return members[0].attr("predict")(X);
  py::module_ np = py::module_::import("numpy");
  return np.attr("asarray")(self.attr("classes_"))[cv_predict_proba(self, X).attr("argmax")(py::arg("axis") = 1)];
}

py::object cv_to_module(py::object module, py::object self) {
  py::list members = fitted_members(self);
  if (py::len(members) == 1) return members[0].attr("to_module")();
  py::list modules;
  for (py::handle member : members) modules.append(member.attr("to_module")());
  return module.attr("_EnsembleClassifier")(modules).attr("eval")();
}

}  // namespace

void register_estimator_cv(py::module_& m) {
  using annotated::param;
  using annotated::param_with_default;
  py::object module = py::reinterpret_borrow<py::object>(m);
  const py::object module_name = m.attr("__name__");
  // a plain function of the module, so that worker processes find it by name
  m.attr("_search_fit") = annotated::python_function_calling(module_name, "_search_fit", "estimator, X, y, train, test",
                                                             py::cpp_function(&search_fit));
  m.attr("_search_refit") = annotated::python_function_calling(module_name, "_search_refit", "estimator, X, y",
                                                               py::cpp_function(&search_refit));

  std::vector<annotated::Param> init_params{param("self", "")};
  for (const auto& [name, value] : cv_parameters()) init_params.push_back(param_with_default(name, "", value));
  const std::string cls(kCVName);
  py::dict ns;
  ns["__doc__"] = py::str(doc::kEstimatorCV);
  ns["__init__"] = annotated::make(m, py::cpp_function(&cv_init), "__init__", cls + ".__init__", "", init_params, "None");
  ns["fit"] = annotated::make(
      m, py::cpp_function([module](py::object self, py::object X, py::object y) { return cv_fit(module, self, X, y); }),
      "fit", cls + ".fit", "在训练数据 (X, y) 上搜索网络结构并重训最佳者。返回 self。",
      {param("self", ""), param("X", "np.ndarray"), param("y", "Sequence[Any]")}, kCVName);
  ns["search_space"] = annotated::make(
      m, py::cpp_function(&cv_search_space), "search_space", cls + ".search_space",
      "由 (X, y) 导出的候选网格 {参数名: 取值列表}（不训练）。",
      {param("self", ""), param("X", "np.ndarray"), param("y", "Sequence[Any]")}, "Dict[str, list]");
  ns["predict"] = annotated::make(m, py::cpp_function(&cv_predict), "predict", cls + ".predict",
                                  "概率最大的类别（各成员概率的均值，见 predict_proba）。",
                                  {param("self", ""), param("X", "np.ndarray")}, "np.ndarray");
  ns["predict_proba"] = annotated::make(
      m, py::cpp_function(&cv_predict_proba), "predict_proba", cls + ".predict_proba",
      "estimators_（重训的各成员）的类别概率的均值，列顺序与 classes_ 一致。",
      {param("self", ""), param("X", "np.ndarray")}, "np.ndarray");
  ns["score"] = annotated::make(
      m,
      py::cpp_function([](py::object self, py::object X, py::object y, py::object w) {
        return weighted_accuracy(cv_predict(self, X), y, w);
      }),
      "score", cls + ".score", "predict 在 (X, y) 上的准确率（可带 sample_weight）。",
      {param("self", ""), param("X", "np.ndarray"), param("y", "Sequence[Any]"),
       param_with_default("sample_weight", "Optional[np.ndarray]", py::none())},
      "float");
  ns["to_module"] = annotated::make(
      m, py::cpp_function([module](py::object self) { return cv_to_module(module, self); }), "to_module",
      cls + ".to_module",
      "返回把原始样本（样本在第0维）映射为类别概率的 torch.nn.Module：各成员 to_module() 的概率均值（只有一个成员时即其本身）。",
      {param("self", "")}, "nn.Module");
  py::dict expected = expected_failed_checks();
  ns["_expected_failed_checks"] = expected;
  py::dict tags;
  tags["_xfail_checks"] = expected;
  ns["_more_tags"] = annotated::python_function_calling(module_name, "HybridSeqClassifierCV._more_tags", "self",
                                     py::cpp_function([tags](py::object) { return tags.attr("copy")(); }));
  py::module_ base = py::module_::import("sklearn.base");
  if (py::hasattr(base.attr("ClassifierMixin"), "__sklearn_tags__")) {
    py::object mixin_tags = base.attr("ClassifierMixin").attr("__sklearn_tags__");
    ns["__sklearn_tags__"] = annotated::python_function_calling(module_name, "HybridSeqClassifierCV.__sklearn_tags__", "self",
                                             py::cpp_function([mixin_tags](py::object self) { return mixin_tags(self); }));
  }
  m.attr(kCVName) = annotated::python_class(module_name, kCVName,
                                            py::make_tuple(base.attr("ClassifierMixin"), base.attr("BaseEstimator")), ns);
}

}  // namespace hst
