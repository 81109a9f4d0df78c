// Training stage: standardisation with training statistics, device choice,
// tensors, network, class weights, loss, optimiser and schedule, the console
// header, and the epoch loop run natively with the GIL released.
#include <cmath>

#include "binding/run.h"

namespace hst {

namespace {

// Per-feature mean and population standard deviation over the training rows
// and all steps, then (x - mean) / std in place over every row.
void standardise(RunContext& run) {
  const int64_t n = run.sequences.shape(0), f = run.sequences.shape(1), l = run.sequences.shape(2);
  py::array_t<float> mean({int64_t(1), f, int64_t(1)}), stdev({int64_t(1), f, int64_t(1)});
  py::array_t<int64_t, py::array::c_style | py::array::forcecast> rows(run.train_idx);
  float* data = static_cast<float*>(run.sequences.mutable_data());
  const int64_t* r = rows.data();
  const int64_t m = rows.size();
  float* mean_p = mean.mutable_data();
  float* std_p = stdev.mutable_data();
  {
    py::gil_scoped_release nogil;
    std::vector<double> sum(f, 0.0), sq(f, 0.0);
    for (int64_t i = 0; i < m; ++i) {
      const float* row = data + r[i] * f * l;
      for (int64_t j = 0; j < f; ++j) {
        double s = 0;
        for (int64_t t = 0; t < l; ++t) s += row[j * l + t];
        sum[j] += s;
      }
    }
    const double count = static_cast<double>(m) * static_cast<double>(l);
    for (int64_t j = 0; j < f; ++j) sum[j] = count > 0 ? sum[j] / count : std::nan("");
    for (int64_t i = 0; i < m; ++i) {
      const float* row = data + r[i] * f * l;
      for (int64_t j = 0; j < f; ++j) {
        double s = 0;
        const double mu = sum[j];
        for (int64_t t = 0; t < l; ++t) {
          const double d = row[j * l + t] - mu;
          s += d * d;
        }
        sq[j] += s;
      }
    }
    for (int64_t j = 0; j < f; ++j) {
      mean_p[j] = static_cast<float>(sum[j]);
      float sd = static_cast<float>(count > 0 ? std::sqrt(sq[j] / count) : std::nan(""));
      std_p[j] = sd < 1e-8f ? 1.0f : sd;  // a constant feature keeps its scale
    }
    at::Tensor x = at::from_blob(data, {n, f, l}, at::kFloat);
    x.sub_(at::from_blob(mean_p, {1, f, 1}, at::kFloat)).div_(at::from_blob(std_p, {1, f, 1}, at::kFloat));
  }
  run.feature_mean = mean;
  run.feature_std = stdev;
}

at::Tensor class_weights(const RunContext& run) {
  py::object cw = run.options["classWeight"];
  const int64_t k = run.num_classes;
  if (PyUnicode_Check(cw.ptr())) {
    const std::string lower = to_lower_text(cw);
    if (lower == "auto") {
      std::vector<float> counts(k, 0.0f);
      py::array_t<int64_t, py::array::c_style | py::array::forcecast> codes(run.y_encoded);
      py::array_t<int64_t, py::array::c_style | py::array::forcecast> rows(run.train_idx);
      float total = 0;
      for (py::ssize_t i = 0; i < rows.size(); ++i) {
        counts[codes.data()[rows.data()[i]]] += 1.0f;
        total += 1.0f;
      }
      at::Tensor w = at::empty({k}, at::kFloat);
      for (int64_t j = 0; j < k; ++j) w[j] = total / std::max(counts[j] * static_cast<float>(k), 1.0f);
      return w.to(run.device);
    }
    if (lower == "none") return at::Tensor();
  }
  py::module_ np = py::module_::import("numpy");
  // Read as C-ordered native float32 whatever the value's memory layout: an
  // array-like may hand out a strided or reversed view, which reshape keeps.
  py::array_t<float, py::array::c_style | py::array::forcecast> weights(
      np.attr("asarray")(cw, py::arg("dtype") = np.attr("float32")).attr("reshape")(-1));
  bool bad = weights.size() != k;
  if (!bad) {
    const float* w = weights.data();
    for (int64_t j = 0; j < k; ++j) bad = bad || !(w[j] > 0.0f);  // NaN is not a positive weight either
  }
  if (bad) raise_value_error("自定义 classWeight 必须为长度等于类别数的正数序列");
  return at::from_blob(const_cast<float*>(weights.data()), {k}, at::kFloat).clone().to(run.device);
}

py::list to_list(const std::vector<EpochStats>& h, double EpochStats::*field) {
  py::list out;
  for (const auto& s : h) out.append(py::float_(s.*field));
  return out;
}

}  // namespace

EngineHooks python_hooks() {
  EngineHooks hooks;
  hooks.on_epoch = [](int64_t epoch, const EpochStats& s) {
    if (epoch != 1 && epoch % 5 != 0) return;
    py::gil_scoped_acquire gil;
    print_line(py::str("Epoch {:3d} | train loss {:.4f} acc {:.4f} | val loss {:.4f} acc {:.4f}")
                   .format(epoch, s.train_loss, s.train_accuracy, s.val_loss, s.val_accuracy)
                   .cast<std::string>());
  };
  hooks.on_early_stop = [](int64_t patience) {
    py::gil_scoped_acquire gil;
    print_line("验证损失连续 " + std::to_string(patience) + " 轮未改善，提前停止。");
  };
  hooks.check_interrupt = [] {
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  };
  return hooks;
}

void run_training(RunContext& run) {
  py::dict& options = run.options;
  py::module_ np = py::module_::import("numpy");
  py::module_ torch = py::module_::import("torch");
  const int64_t f = run.sequences.shape(1);

  // 1. Standardisation with training statistics.
  if (truth(options["mapflag"])) {
    standardise(run);
  } else {
    run.feature_mean = np.attr("zeros")(py::make_tuple(1, f, 1), py::arg("dtype") = np.attr("float32"));
    run.feature_std = np.attr("ones")(py::make_tuple(1, f, 1), py::arg("dtype") = np.attr("float32"));
  }

  // 2. Device.
  const std::string device_sel = to_lower_text(options["deviceSel"]);
  if (device_sel != "auto" && device_sel != "cpu" && device_sel != "gpu")
    raise_value_error("deviceSel 必须是 auto/cpu/gpu");
  const bool cuda = truth(torch.attr("cuda").attr("is_available")());
  const bool use_gpu = cuda && (device_sel == "auto" || device_sel == "gpu");
  if (device_sel == "gpu" && !cuda) print_line("指定了GPU，但当前PyTorch未检测到可用GPU，已自动改用CPU。");
  run.device_name = use_gpu ? "cuda" : "cpu";
  run.device = use_gpu ? at::Device(at::kCUDA, 0) : at::Device(at::kCPU);
  if (use_gpu)
    run.device = at::Device(at::kCUDA, static_cast<c10::DeviceIndex>(
                                           torch.attr("cuda").attr("current_device")().cast<int>()));

  // 3. Host tensors (the sequences are shared, not copied).
  run.x_tensor = torch.attr("from_numpy")(run.sequences).cast<at::Tensor>();
  run.y_tensor = torch.attr("as_tensor")(run.y_encoded, py::arg("dtype") = torch.attr("int64")).cast<at::Tensor>().contiguous();
  run.batch_size = int64_saturating(to_int(options["batchSize"]));

  // 4. Network.
  py::list conv_channels;
  for (py::handle v : options["convChannels"]) conv_channels.append(to_int(v));
  py::object cls = py::module_::import("HybridSeqTrain").attr("_CNNRNNClassifier");
  run.model = cls(py::arg("input_features") = py::int_(f), py::arg("num_classes") = py::int_(run.num_classes),
                  py::arg("conv_channels") = conv_channels, py::arg("kernel_size") = to_int(options["kernelSize"]),
                  py::arg("pool_size") = to_int(options["poolSize"]),
                  py::arg("network_type") = to_str(options["networkType"]),
                  py::arg("rnn_hidden") = to_int(options["rnnHidden"]),
                  py::arg("rnn_layers") = to_int(options["rnnLayers"]),
                  py::arg("dropout") = to_float(options["dropout"]));
  run.model = run.model.attr("to")(py::str(run.device_name));

  // 5-8. Class weights, loss, optimiser, schedule.
  EngineConfig cfg;
  cfg.device = run.device;
  cfg.class_weights = class_weights(run);
  const std::string solver = to_lower_text(options["solverName"]);
  if (solver == "adam") cfg.solver = Solver::ADAM;
  else if (solver == "sgdm") cfg.solver = Solver::SGDM;
  else if (solver == "rmsprop") cfg.solver = Solver::RMSPROP;
  else raise_value_error("solverName 必须是 adam/sgdm/rmsprop");
  cfg.learn_rate = as_double(to_float(options["learnRate"]));
  const std::string schedule = to_lower_text(options["learnRateSchedule"]);
  if (schedule == "piecewise") {
    cfg.piecewise = true;
    cfg.drop_period = int64_saturating(to_int(options["learnRateDropPeriod"]));
    cfg.drop_factor = as_double(to_float(options["learnRateDropFactor"]));
  } else if (schedule != "none") {
    raise_value_error("learnRateSchedule 必须是 none 或 piecewise");
  }
  cfg.batch_size = run.batch_size;
  cfg.max_epochs = int64_saturating(to_int(options["maxEpochs"]));
  cfg.patience = int64_saturating(to_int(options["earlyStoppingPatience"]));

  // 10. Header.
  print_line("\nCNN-RNN 通用分类开始训练");
  print_line("原始尺寸: " + text_of(run.shape_info["originalShape"]) + " -> 适配尺寸: " +
             text_of(run.shape_info["adaptedShape"]));
  print_line("训练集/验证集/测试集: " + std::to_string(run.train_idx.size()) + "/" +
             std::to_string(run.val_idx.size()) + "/" + std::to_string(run.test_idx.size()));
  print_line("网络: " + py::str("{}").format(options["networkType"]).cast<std::string>() + " | 设备: " +
             run.device_name + " | 类别数: " + std::to_string(run.num_classes));

  // 11-12. Epoch loop and restore of the best state.
  run.model.attr("train")();
  run.net = extract_net_params(run.model);
  at::Tensor train_rows = torch.attr("as_tensor")(run.train_idx, py::arg("dtype") = torch.attr("int64")).cast<at::Tensor>().contiguous();
  at::Tensor val_rows = torch.attr("as_tensor")(run.val_idx, py::arg("dtype") = torch.attr("int64")).cast<at::Tensor>().contiguous();
  EngineResult result;
  {
    EngineHooks hooks = python_hooks();
    py::gil_scoped_release nogil;
    result = train_network(run.net, run.x_tensor, run.y_tensor, train_rows, val_rows, cfg, hooks);
  }
  run.model.attr("eval")();
  run.net.set_training(false);

  run.history = py::dict();
  run.history["trainLoss"] = to_list(result.history, &EpochStats::train_loss);
  run.history["valLoss"] = to_list(result.history, &EpochStats::val_loss);
  run.history["trainAccuracy"] = to_list(result.history, &EpochStats::train_accuracy);
  run.history["valAccuracy"] = to_list(result.history, &EpochStats::val_accuracy);
  run.best_epoch = result.best_epoch;
  run.best_val_loss = result.best_val_loss;
}

}  // namespace hst
