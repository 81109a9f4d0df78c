// The values one call of HybridSeqTrain hands from stage to stage.
#pragma once

#include "core/engine.h"
#include "binding/stages.h"

namespace hst {

struct RunContext {
  // Options and labels
  py::dict options;
  py::array y_original, classes, y_encoded;
  int64_t num_classes = 0;
  // Adaptation and split
  py::array sequences;
  py::dict shape_info;
  py::array train_idx, val_idx, test_idx;
  // Training
  py::array feature_mean, feature_std;
  std::string device_name = "cpu";
  at::Device device = at::kCPU;
  at::Tensor x_tensor, y_tensor;
  py::object model;
  NetParams net;
  py::dict history;
  int64_t best_epoch = 0;
  double best_val_loss = 0;
  int64_t batch_size = 64;
};

// training.cpp: standardisation through restoring the best state.
void run_training(RunContext& run);
// prediction.cpp: predictions, evaluation, summary, info, figures; returns
// (foreData, foreDataTrain, model, info).
py::tuple finish_run(RunContext& run);

// Engine hooks that print through Python and turn Ctrl-C into
// KeyboardInterrupt; safe to call with the GIL released.
EngineHooks python_hooks();

}  // namespace hst
