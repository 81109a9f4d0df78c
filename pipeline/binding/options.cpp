// Options: the defaults, the completed copy, the scalar options' checks in
// their fixed order, the options the training stage reads (checked where it
// reads them), and the seeding of the process-wide generators.
#include <cmath>

#include "binding/checkpoint.h"
#include "binding/run_context.h"
#include "binding/stages.h"

namespace hst {

// The defaults, in insertion order; fresh objects on every call.
py::list default_options() {
  py::list d;
  auto add = [&d](const char* key, py::object value) { d.append(py::make_tuple(key, value)); };
  py::list conv;
  conv.append(32);
  conv.append(64);
  add("sampleDimension", py::str("auto"));
  add("sequenceAxis", py::int_(-1));
  add("splitLabels", py::none());
  add("rTrain", py::float_(0.8));
  add("validationRatio", py::float_(0.15));
  add("shuffle", py::bool_(true));
  add("seed", py::int_(42));
  add("networkType", py::str("LSTM"));
  add("convChannels", conv);
  add("kernelSize", py::int_(5));
  add("poolSize", py::int_(2));
  add("rnnHidden", py::int_(64));
  add("rnnLayers", py::int_(1));
  add("dropout", py::float_(0.2));
  add("solverName", py::str("adam"));
  add("maxEpochs", py::int_(40));
  add("learnRate", py::float_(0.001));
  add("batchSize", py::int_(64));
  add("earlyStoppingPatience", py::int_(8));
  add("learnRateSchedule", py::str("none"));
  add("learnRateDropPeriod", py::int_(15));
  add("learnRateDropFactor", py::float_(0.5));
  add("classWeight", py::str("auto"));
  add("deviceSel", py::str("auto"));
  add("mapflag", py::bool_(true));
  add("figflag", py::bool_(true));
  add("showFigures", py::bool_(true));
  add("caseName", py::str("CNN-RNN"));
  add("classNames", py::none());
  return d;
}

namespace {

// An interval of reals, each end open or closed; NaN lies in none.
struct Interval {
  double lo, hi;
  bool lo_closed, hi_closed;
  static Interval closed_open(double lo, double hi) { return {lo, hi, true, false}; }
  static Interval open_open(double lo, double hi) { return {lo, hi, false, false}; }
  static Interval open_closed(double lo, double hi) { return {lo, hi, false, true}; }
  bool contains(double v) const {
    if (std::isnan(v)) return false;
    return (lo_closed ? v >= lo : v > lo) && (hi_closed ? v <= hi : v < hi);
  }
};

double real_option(const py::dict& options, const char* key) { return as_double(to_float(options[key])); }

// int(options[key]), refused with `message` unless it is > 0.
py::int_ positive_int(const py::dict& options, const char* key, const char* message) {
  py::int_ value = to_int(options[key]);
  if (py_le(value, 0)) raise_value_error(message);
  return value;
}

}  // namespace

Settings validate_scalar_options(const py::dict& options) {
  Settings s;
  s.r_train = real_option(options, "rTrain");
  if (!Interval::closed_open(0.5, 1.0).contains(s.r_train)) raise_value_error("rTrain 必须在[0.5,1)范围内");
  s.validation_ratio = real_option(options, "validationRatio");
  if (!Interval::open_open(0.0, 0.5).contains(s.validation_ratio)) raise_value_error("validationRatio 必须在(0,0.5)范围内");

  static const char* kNetworks[] = {"RNN", "LSTM", "GRU", "BiRNN", "BiLSTM", "BiGRU"};
  py::object network = options["networkType"];
  bool known = false;
  for (const char* name : kNetworks) {
    int eq = PyObject_RichCompareBool(network.ptr(), py::str(name).ptr(), Py_EQ);
    if (eq < 0) throw py::error_already_set();
    known = known || eq == 1;
  }
  if (!known) raise_value_error("networkType 必须是 RNN/LSTM/GRU/BiRNN/BiLSTM/BiGRU");
  s.network_type = to_str(network);

  py::object channels = options["convChannels"];
  const char* channels_msg = "convChannels 必须是由正整数组成的非空序列";
  if (!python_bool(channels)) raise_value_error(channels_msg);
  for (py::handle c : channels) {
    py::int_ width = to_int(c);
    if (py_le(width, 0)) raise_value_error(channels_msg);
    s.conv_channels.append(width);
  }

  s.kernel_size = to_int(options["kernelSize"]);
  if (py_le(s.kernel_size, 0) || !python_bool(s.kernel_size.attr("__mod__")(2))) raise_value_error("kernelSize 必须为正奇数");
  s.pool_size = positive_int(options, "poolSize", "poolSize 必须为正整数");
  const char* rnn_msg = "rnnHidden 和 rnnLayers 必须为正整数";
  s.rnn_hidden = positive_int(options, "rnnHidden", rnn_msg);
  s.rnn_layers = positive_int(options, "rnnLayers", rnn_msg);
  s.dropout = real_option(options, "dropout");
  if (!Interval::closed_open(0.0, 1.0).contains(s.dropout)) raise_value_error("dropout 必须在[0,1)范围内");
  const char* size_msg = "maxEpochs 和 batchSize 必须为正整数";
  s.max_epochs = positive_int(options, "maxEpochs", size_msg);
  s.batch_size = positive_int(options, "batchSize", size_msg);
  s.learn_rate = real_option(options, "learnRate");
  if (s.learn_rate <= 0) raise_value_error("learnRate 必须大于0");  // NaN passes
  s.patience = to_int(options["earlyStoppingPatience"]);
  if (py_lt(s.patience, 0)) raise_value_error("earlyStoppingPatience 不能小于0");
  s.drop_period = positive_int(options, "learnRateDropPeriod", "learnRateDropPeriod 必须为正整数");
  s.drop_factor = real_option(options, "learnRateDropFactor");
  if (!Interval::open_closed(0.0, 1.0).contains(s.drop_factor)) raise_value_error("learnRateDropFactor 必须在(0,1]范围内");
  return s;
}

void set_random_seed(py::object seed) {
  if (!PyLong_Check(seed.ptr())) annotated::raise_argument_type("seed", "int", seed);
  if (!python_bool(seed)) return;  // 0 leaves every generator as it is
  py::module_::import("random").attr("seed")(seed);
  py::module_::import("numpy").attr("random").attr("seed")(seed);
  py::module_ torch = py::module_::import("torch");
  torch.attr("manual_seed")(seed);
  if (python_bool(torch.attr("cuda").attr("is_available")())) torch.attr("cuda").attr("manual_seed_all")(seed);
}

TrainingChoices training_choices(const py::dict& options, const Settings& settings, int64_t num_classes) {
  TrainingChoices c;
  c.device = to_lower_text(options["deviceSel"]);
  if (c.device != "auto" && c.device != "cpu" && c.device != "gpu") raise_value_error("deviceSel 必须是 auto/cpu/gpu");
  py::object cw = options["classWeight"];
  const std::string cw_text = PyUnicode_Check(cw.ptr()) ? to_lower_text(cw) : std::string();
  if (cw_text == "auto" || cw_text == "none") {
    c.balanced_weights = cw_text == "auto";
  } else {
    py::module_ np = py::module_::import("numpy");
    // Read as C-ordered native float32 whatever the value's memory layout: an
    // array-like may hand out a strided or reversed view, which reshape keeps.
    py::array_t<float, py::array::c_style | py::array::forcecast> weights(
        np.attr("asarray")(cw, py::arg("dtype") = np.attr("float32")).attr("reshape")(-1));
    bool bad = weights.size() != num_classes;
    const float* w = weights.data();
    // NaN is not a positive weight; an infinite one would turn every loss into NaN.
    for (int64_t j = 0; !bad && j < num_classes; ++j) bad = !(w[j] > 0.0f) || std::isinf(w[j]);
    if (bad) raise_value_error("自定义 classWeight 必须为长度等于类别数的正数序列");
    c.given_weights.assign(w, w + num_classes);
  }
  const std::string solver = to_lower_text(options["solverName"]);
  if (solver == "adam") c.solver = Solver::ADAM;
  else if (solver == "sgdm") c.solver = Solver::SGDM;
  else if (solver == "rmsprop") c.solver = Solver::RMSPROP;
  else raise_value_error("solverName 必须是 adam/sgdm/rmsprop");
  check_optimiser_settings(settings.learn_rate, solver);
  const std::string schedule = to_lower_text(options["learnRateSchedule"]);
  if (schedule != "none" && schedule != "piecewise") raise_value_error("learnRateSchedule 必须是 none 或 piecewise");
  c.piecewise = schedule == "piecewise";
  return c;
}

py::dict complete_options(py::object options_in) {
  py::dict options =
      options_in.is_none() ? py::dict() : py::dict(py::module_::import("copy").attr("deepcopy")(options_in));
  for (py::handle item : default_options()) {
    py::object key = item[py::int_(0)];
    if (!options.contains(key)) options[key] = item[py::int_(1)];
  }
  return options;
}

}  // namespace hst
