// Training stage: device choice, tensors, network, class weights, loss,
// optimiser and schedule, the console header, and the epoch loop run
// natively with the GIL released.

#include "binding/checkpoint.h"
#include "binding/native_call.h"
#include "binding/run_context.h"
#include "binding/stages.h"
#include "core/data_prep.h"

namespace hst {

namespace {

// The device deviceSel asks for, falling back to the CPU without a GPU.
void choose_device(RunContext& run, const std::string& device_sel) {
  py::module_ torch = py::module_::import("torch");
  const bool cuda = python_bool(torch.attr("cuda").attr("is_available")());
  const bool use_gpu = cuda && (device_sel == "auto" || device_sel == "gpu");
  if (device_sel == "gpu" && !cuda && run.prints()) print_line("指定了GPU，但当前PyTorch未检测到可用GPU，已自动改用CPU。");
  run.device_name = use_gpu ? "cuda" : "cpu";
  run.device = use_gpu ? at::Device(at::kCUDA, static_cast<c10::DeviceIndex>(
                                                   torch.attr("cuda").attr("current_device")().cast<int>()))
                       : at::Device(at::kCPU);
}

at::Tensor int64_tensor(const py::array& a) {
  py::module_ torch = py::module_::import("torch");
  return torch.attr("as_tensor")(a, py::arg("dtype") = torch.attr("int64")).cast<at::Tensor>().contiguous();
}

// The host tensors (the sequences are shared, not copied) and the network
// on the device.
void build_network(RunContext& run) {
  py::module_ torch = py::module_::import("torch");
  run.x_tensor = torch.attr("from_numpy")(run.sequences).cast<at::Tensor>();
  run.y_tensor = int64_tensor(run.y_encoded);
  const Settings& set = run.settings;
  run.batch_size = int64_saturating(set.batch_size);
  py::object cls = run.module.attr("_CNNRNNClassifier");
  run.model = cls(py::arg("input_features") = py::int_(run.sequences.shape(1)),
                  py::arg("num_classes") = py::int_(run.num_classes),
                  py::arg("conv_channels") = py::list(set.conv_channels), py::arg("kernel_size") = set.kernel_size,
                  py::arg("pool_size") = set.pool_size, py::arg("network_type") = py::str(set.network_type),
                  py::arg("rnn_hidden") = set.rnn_hidden, py::arg("rnn_layers") = set.rnn_layers,
                  py::arg("dropout") = py::float_(set.dropout));
  start_random_streams(run);  // the call's own generators; the initial weights drawn from them
  run.model = run.model.attr("to")(py::str(run.device_name));
}

// Class weights, loss, optimiser, schedule, random streams and the state a
// resumed call goes on from, as the engine takes them.
EngineConfig engine_config(const RunContext& run, const TrainingChoices& choices) {
  EngineConfig cfg;
  cfg.device = run.device;
  if (choices.balanced_weights) {
    py::array_t<int64_t, py::array::c_style | py::array::forcecast> codes(run.y_encoded);
    py::array_t<int64_t, py::array::c_style | py::array::forcecast> rows(run.train_idx);
    std::vector<float> w = balanced_class_weights(count_classes(codes.data(), rows.data(), rows.size(), run.num_classes));
    cfg.class_weights = at::tensor(w, at::kFloat).to(run.device);
  } else if (!choices.given_weights.empty()) {
    cfg.class_weights = at::tensor(choices.given_weights, at::kFloat).to(run.device);
  }
  const Settings& set = run.settings;
  cfg.solver = choices.solver;
  cfg.learn_rate = set.learn_rate;
  cfg.piecewise = choices.piecewise;
  if (cfg.piecewise) {
    cfg.drop_period = int64_saturating(set.drop_period);
    cfg.drop_factor = set.drop_factor;
  }
  cfg.batch_size = run.batch_size;
  cfg.max_epochs = int64_saturating(set.max_epochs);
  cfg.patience = int64_saturating(set.patience);
  cfg.collective = run.collective.get();
  cfg.shard = run.shard;
  cfg.streams = run.streams;
  attach_checkpoint(run, cfg);  // the state to go on from, when the call resumes
  return cfg;
}

void print_header(const RunContext& run) {
  if (!run.prints()) return;
  print_line("\nCNN-RNN 通用分类开始训练");
  print_line("原始尺寸: " + text_of(run.shape_info["originalShape"]) + " -> 适配尺寸: " +
             text_of(run.shape_info["adaptedShape"]));
  print_line("训练集/验证集/测试集: " + std::to_string(run.train_idx.size()) + "/" +
             std::to_string(run.val_idx.size()) + "/" + std::to_string(run.test_idx.size()));
  print_line("网络: " + py::str("{}").format(run.options["networkType"]).cast<std::string>() + " | 设备: " +
             run.device_name + " | 类别数: " + std::to_string(run.num_classes));
}

py::list to_list(const std::vector<EpochStats>& h, double EpochStats::*field) {
  py::list out;
  for (const auto& s : h) out.append(py::float_(s.*field));
  return out;
}

void keep_result(RunContext& run, const EngineResult& result) {
  run.history = py::dict();
  run.history["trainLoss"] = to_list(result.history, &EpochStats::train_loss);
  run.history["valLoss"] = to_list(result.history, &EpochStats::val_loss);
  run.history["trainAccuracy"] = to_list(result.history, &EpochStats::train_accuracy);
  run.history["valAccuracy"] = to_list(result.history, &EpochStats::val_accuracy);
  run.best_epoch = result.best_epoch;
  run.best_val_loss = result.best_val_loss;
}

}  // namespace

void share_split(RunContext& run) {
  py::module_ np = py::module_::import("numpy");
  py::module_ torch = py::module_::import("torch");
  for (py::array* idx : {&run.train_idx, &run.val_idx, &run.test_idx}) {
    py::array rows = np.attr("ascontiguousarray")(*idx, py::arg("dtype") = np.attr("int64"));
    at::Tensor shared = torch.attr("from_numpy")(rows).cast<at::Tensor>();
    // Without the GIL; Ctrl-C during the wait leaves as KeyboardInterrupt.
    call_native(/*printing=*/false, [&](const EngineHooks&) { run.collective->broadcast(shared, /*root=*/0); });
    *idx = rows;
  }
}

void run_training(RunContext& run) {
  const TrainingChoices choices = training_choices(run.options, run.settings, run.num_classes);
  choose_device(run, choices.device);
  build_network(run);
  const EngineConfig cfg = engine_config(run, choices);
  print_header(run);

  // Epoch loop and restore of the best state, natively.
  run.model.attr("train")();
  run.net = extract_net_params(run.model);
  const at::Tensor train_rows = int64_tensor(run.train_idx), val_rows = int64_tensor(run.val_idx);
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
  keep_result(run, result);
}

}  // namespace hst
