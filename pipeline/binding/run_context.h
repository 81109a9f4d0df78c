// The values one call hands from stage to stage.
#pragma once

#include <memory>
#include <string>

#include "binding/py_semantics.h"
#include "core/collective.h"
#include "core/engine.h"
#include "core/network.h"
#include "core/random_streams.h"

namespace hst {

struct CheckpointRun;  // binding/checkpoint.cpp

// The scalar options as validated: each value converted once, in the
// checks' order (Python ints stay Python ints: no range is lost).
struct Settings {
  double r_train = 0.8, validation_ratio = 0.15;
  std::string network_type;
  py::list conv_channels;  // Python ints
  py::int_ kernel_size, pool_size, rnn_hidden, rnn_layers;
  double dropout = 0;
  py::int_ max_epochs, batch_size;
  double learn_rate = 0;
  py::int_ patience, drop_period;
  double drop_factor = 1;
};

// The options the training stage reads, checked in their fixed order.
struct TrainingChoices {
  std::string device;              // "auto", "cpu" or "gpu"
  bool balanced_weights = false;   // classWeight "auto"
  std::vector<float> given_weights;  // a classWeight sequence; empty otherwise
  Solver solver = Solver::ADAM;
  bool piecewise = false;
};

struct RunContext {
  py::object module;  // the HybridSeqTrain module
  // Options and labels
  py::dict options;
  Settings settings;
  py::array y_original, classes, y_encoded;
  int64_t num_classes = 0;
  // Adaptation and split
  py::array sequences;
  py::dict shape_info;
  at::Tensor lengths;  // int64 [n], each row's own length; undefined when all are equal
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
  RandomStreams streams;  // every draw of the training stage
  std::shared_ptr<CheckpointRun> checkpoint;  // with options["checkpointPath"]
  // Set when the call is one rank of a data-parallel run: the caller's
  // default process group of torch.distributed, with more than one rank.
  std::shared_ptr<Collective> collective;
  // Sharded: this rank's rows in the concatenation of all shards (the
  // sequences are this rank's; labels, lengths and indices global), and what
  // a checkpoint records of every rank's shard.
  Shard shard;
  std::string shard_fingerprint;
  // No console lines at all (the estimator unless verbose).
  bool quiet = false;
  // This process leads: alone, or rank 0 of a data-parallel run.
  bool leads() const { return !collective || collective->rank() == 0; }
  bool prints() const { return !quiet && leads(); }
};

}  // namespace hst
