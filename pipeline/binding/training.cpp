// Training stage: standardisation with training statistics, device choice,
// tensors, network, class weights, loss, optimiser and schedule, the console
// header, and the epoch loop run natively with the GIL released.
#include <cmath>

#include "binding/checkpoint.h"
#include "binding/native_call.h"
#include "binding/run_context.h"
#include "binding/stages.h"
#include "core/data_prep.h"

namespace hst {

namespace {

// Standardises every row of the sequences in place with the mean and
// population standard deviation of the training rows.
void standardise_sequences(RunContext& run) {
  const int64_t n = run.sequences.shape(0), f = run.sequences.shape(1), l = run.sequences.shape(2);
  py::array_t<int64_t, py::array::c_style | py::array::forcecast> rows(run.train_idx);
  float* data = static_cast<float*>(run.sequences.mutable_data());
  const int64_t* lengths = run.lengths.defined() ? run.lengths.data_ptr<int64_t>() : nullptr;
  FeatureStats stats;
  {
    py::gil_scoped_release nogil;
    stats = feature_statistics(data, f, l, rows.data(), rows.size(), lengths);
    standardise(data, n, f, l, stats, lengths);
  }
  py::array_t<float> mean({int64_t(1), f, int64_t(1)}), stdev({int64_t(1), f, int64_t(1)});
  std::copy(stats.mean.begin(), stats.mean.end(), mean.mutable_data());
  std::copy(stats.stdev.begin(), stats.stdev.end(), stdev.mutable_data());
  run.feature_mean = mean;
  run.feature_std = stdev;
}

at::Tensor class_weights(const RunContext& run) {
  py::object cw = run.options["classWeight"];
  const int64_t k = run.num_classes;
  if (PyUnicode_Check(cw.ptr())) {
    const std::string lower = to_lower_text(cw);
    if (lower == "auto") {
      py::array_t<int64_t, py::array::c_style | py::array::forcecast> codes(run.y_encoded);
      py::array_t<int64_t, py::array::c_style | py::array::forcecast> rows(run.train_idx);
      std::vector<float> w = balanced_class_weights(count_classes(codes.data(), rows.data(), rows.size(), k));
      return at::tensor(w, at::kFloat).to(run.device);
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
    // NaN is not a positive weight; an infinite one would turn every loss into NaN.
    for (int64_t j = 0; j < k; ++j) bad = bad || !(w[j] > 0.0f) || std::isinf(w[j]);
  }
  if (bad) raise_value_error("自定义 classWeight 必须为长度等于类别数的正数序列");
  return at::from_blob(const_cast<float*>(weights.data()), {k}, at::kFloat).clone().to(run.device);
}

py::list to_list(const std::vector<EpochStats>& h, double EpochStats::*field) {
  py::list out;
  for (const auto& s : h) out.append(py::float_(s.*field));
  return out;
}

// Replaces every rank's split indices by rank 0's (the same values where
// the seed fixed them: the arrays keep their values and dtype).
void share_split(RunContext& run) {
  py::module_ np = py::module_::import("numpy");
  py::module_ torch = py::module_::import("torch");
  for (py::array* idx : {&run.train_idx, &run.val_idx, &run.test_idx}) {
    py::array rows = np.attr("ascontiguousarray")(*idx, py::arg("dtype") = np.attr("int64"));
    at::Tensor shared = torch.attr("from_numpy")(rows).cast<at::Tensor>();
    {
      py::gil_scoped_release nogil;
      run.collective->broadcast(shared, /*root=*/0);
    }
    *idx = rows;
  }
}

}  // namespace

void run_training(RunContext& run) {
  py::dict& options = run.options;
  py::module_ np = py::module_::import("numpy");
  py::module_ torch = py::module_::import("torch");
  const int64_t f = run.sequences.shape(1);
  // One rank of a data-parallel run (only rank 0 prints): every rank trains
  // on rank 0's split, whatever its own generators drew.
  if (run.collective) share_split(run);

  // Standardisation with training statistics.
  if (python_bool(options["mapflag"])) {
    standardise_sequences(run);
  } else {
    run.feature_mean = np.attr("zeros")(py::make_tuple(1, f, 1), py::arg("dtype") = np.attr("float32"));
    run.feature_std = np.attr("ones")(py::make_tuple(1, f, 1), py::arg("dtype") = np.attr("float32"));
  }

  // Device.
  const std::string device_sel = to_lower_text(options["deviceSel"]);
  if (device_sel != "auto" && device_sel != "cpu" && device_sel != "gpu")
    raise_value_error("deviceSel 必须是 auto/cpu/gpu");
  const bool cuda = python_bool(torch.attr("cuda").attr("is_available")());
  const bool use_gpu = cuda && (device_sel == "auto" || device_sel == "gpu");
  if (device_sel == "gpu" && !cuda && run.prints()) print_line("指定了GPU，但当前PyTorch未检测到可用GPU，已自动改用CPU。");
  run.device_name = use_gpu ? "cuda" : "cpu";
  run.device = use_gpu ? at::Device(at::kCUDA, 0) : at::Device(at::kCPU);
  if (use_gpu)
    run.device = at::Device(at::kCUDA, static_cast<c10::DeviceIndex>(
                                           torch.attr("cuda").attr("current_device")().cast<int>()));

  // Host tensors (the sequences are shared, not copied).
  run.x_tensor = torch.attr("from_numpy")(run.sequences).cast<at::Tensor>();
  run.y_tensor = torch.attr("as_tensor")(run.y_encoded, py::arg("dtype") = torch.attr("int64")).cast<at::Tensor>().contiguous();
  const Settings& set = run.settings;
  run.batch_size = int64_saturating(set.batch_size);

  // Network.
  py::object cls = run.module.attr("_CNNRNNClassifier");
  run.model = cls(py::arg("input_features") = py::int_(f), py::arg("num_classes") = py::int_(run.num_classes),
                  py::arg("conv_channels") = py::list(set.conv_channels), py::arg("kernel_size") = set.kernel_size,
                  py::arg("pool_size") = set.pool_size, py::arg("network_type") = py::str(set.network_type),
                  py::arg("rnn_hidden") = set.rnn_hidden, py::arg("rnn_layers") = set.rnn_layers,
                  py::arg("dropout") = py::float_(set.dropout));
  start_random_streams(run);
  run.model = run.model.attr("to")(py::str(run.device_name));

  // Class weights, loss, optimiser, schedule.
  EngineConfig cfg;
  cfg.device = run.device;
  cfg.class_weights = class_weights(run);
  const std::string solver = to_lower_text(options["solverName"]);
  if (solver == "adam") cfg.solver = Solver::ADAM;
  else if (solver == "sgdm") cfg.solver = Solver::SGDM;
  else if (solver == "rmsprop") cfg.solver = Solver::RMSPROP;
  else raise_value_error("solverName 必须是 adam/sgdm/rmsprop");
  check_optimiser_settings(set.learn_rate, solver);
  cfg.learn_rate = set.learn_rate;
  const std::string schedule = to_lower_text(options["learnRateSchedule"]);
  if (schedule == "piecewise") {
    cfg.piecewise = true;
    cfg.drop_period = int64_saturating(set.drop_period);
    cfg.drop_factor = set.drop_factor;
  } else if (schedule != "none") {
    raise_value_error("learnRateSchedule 必须是 none 或 piecewise");
  }
  cfg.batch_size = run.batch_size;
  cfg.max_epochs = int64_saturating(set.max_epochs);
  cfg.patience = int64_saturating(set.patience);

  cfg.collective = run.collective.get();
  cfg.streams = run.streams;
  attach_checkpoint(run, cfg);

  // Header.
  if (run.prints()) {
    print_line("\nCNN-RNN 通用分类开始训练");
    print_line("原始尺寸: " + text_of(run.shape_info["originalShape"]) + " -> 适配尺寸: " +
               text_of(run.shape_info["adaptedShape"]));
    print_line("训练集/验证集/测试集: " + std::to_string(run.train_idx.size()) + "/" +
               std::to_string(run.val_idx.size()) + "/" + std::to_string(run.test_idx.size()));
    print_line("网络: " + py::str("{}").format(options["networkType"]).cast<std::string>() + " | 设备: " +
               run.device_name + " | 类别数: " + std::to_string(run.num_classes));
  }

  // Epoch loop and restore of the best state.
  run.model.attr("train")();
  run.net = extract_net_params(run.model);
  at::Tensor train_rows = torch.attr("as_tensor")(run.train_idx, py::arg("dtype") = torch.attr("int64")).cast<at::Tensor>().contiguous();
  at::Tensor val_rows = torch.attr("as_tensor")(run.val_idx, py::arg("dtype") = torch.attr("int64")).cast<at::Tensor>().contiguous();
  const EngineResult result = call_native(
      run.prints(),
      [&](const EngineHooks& hooks) {
        return train_network(run.net, run.x_tensor, run.y_tensor, train_rows, val_rows, cfg,
                             checkpoint_hooks(run, hooks), run.lengths);
      },
      [&] { run.model.attr("eval")(); });  // (the engine has put the network's flags back itself)
  finish_checkpoint(run);
  run.model.attr("eval")();
  run.net.set_training(false);
  // Training gave every parameter memory of its own; on CUDA the recurrent
  // weights go back into cuDNN's one flat buffer, so that later forwards
  // neither re-pack them nor warn (elsewhere this returns at once).
  run.model.attr("rnn").attr("flatten_parameters")();

  run.history = py::dict();
  run.history["trainLoss"] = to_list(result.history, &EpochStats::train_loss);
  run.history["valLoss"] = to_list(result.history, &EpochStats::val_loss);
  run.history["trainAccuracy"] = to_list(result.history, &EpochStats::train_accuracy);
  run.history["valAccuracy"] = to_list(result.history, &EpochStats::val_accuracy);
  run.best_epoch = result.best_epoch;
  run.best_val_loss = result.best_val_loss;
}

}  // namespace hst
