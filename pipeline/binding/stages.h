// The Python-facing stages of one call (GIL held): their entry points as the
// module setup binds them, and the values one call hands from stage to stage.
#pragma once

#include "binding/py_semantics.h"
#include "core/collective.h"
#include "core/engine.h"
#include "core/network.h"

namespace hst {

// options.cpp: the entry function, the seeding helper and the steps the
// estimator shares with the entry function.
// The 29 (key, default) pairs in insertion order, fresh objects each call.
py::list default_options();
// A deep copy of `options_in` (None: empty) completed with the defaults.
// `module` is the HybridSeqTrain module itself: the stages look up the names
// it binds (the network class, RatePredictions, __file__) on it, never by
// importing a module of that name again.
py::dict complete_options(py::object options_in);
py::object hybrid_seq_train(py::object module, py::object X, py::object Y, py::object options);
void set_random_seed(py::object seed);

struct RunContext;
// Labels, the scalar options' checks, adaptation and the pooling check, on
// run.options (completed): fills the labels and the adapted sequences.
void prepare_run(RunContext& run, py::object X, py::object Y);

// estimator.cpp: creates the `HybridSeqClassifier` class in module m.
void register_estimator(py::module_& m);

// adaptation.cpp: (sequences, shape_info)
py::tuple adapt_to_sequence(py::object X, py::object y_count, py::object sequence_axis,
                            py::object sample_dimension);

// split.cpp: (train_idx, val_idx, test_idx), with the module's train_test_split
py::tuple split_indices(py::object module, py::object y_encoded, py::object options);

// optimizer_settings.cpp: runs the constructor of torch.optim's own optimiser
// for `solver` ("adam", "sgdm" or "rmsprop") with the run's settings, so that
// torch's own checks refuse what torch refuses (with torch's exception).
void check_optimiser_settings(double learn_rate, const std::string& solver);

// network.cpp: creates the `_CNNRNNClassifier` class in module m.
void register_network(py::module_& m);
// Reads the network's parameters and settings from a module instance.
NetParams extract_net_params(py::handle module);

// prediction.cpp
py::object metrics_with_display_names(py::object module, py::object y_true, py::object y_pred,
                                      py::object encoded_classes);

// figures.cpp: draws, saves and shows or closes the five result figures.
struct FigureInputs {
  py::dict options;            // completed options (figflag, showFigures, caseName)
  py::dict history;            // trainLoss, valLoss, trainAccuracy, valAccuracy
  py::object best_epoch;       // Python int
  py::dict metrics_train, metrics_val, metrics_test;
  py::object classes;          // sorted distinct labels (only the count is used)
  py::list display_names;      // K texts
  py::array y_encoded;         // codes of all samples
  py::array test_idx;          // test positions
  py::array pred_test_encoded; // predicted test codes, test_idx order
  py::object module;           // the HybridSeqTrain module: its plt, Path and __file__
};
void draw_result_figures(const FigureInputs& in);

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
  // Set when the call is one rank of a data-parallel run: the caller's
  // default process group of torch.distributed, with more than one rank.
  std::shared_ptr<Collective> collective;
  // No console lines at all (the estimator unless verbose).
  bool quiet = false;
  // This process leads: alone, or rank 0 of a data-parallel run.
  bool leads() const { return !collective || collective->rank() == 0; }
  bool prints() const { return !quiet && leads(); }
};

// process_group.cpp: the caller's default process group of torch.distributed
// when one is initialised with more than one rank and the options do not
// turn data-parallel training off ("dataParallel": False); otherwise null.
// Before returning it, every rank's call meets the others' within a bounded
// wait and compares what it was given (X, Y and the options named by
// `option_keys`); a rank that did not call, or a difference, raises on every
// calling rank.
std::shared_ptr<Collective> join_data_parallel(const py::dict& options, const py::list& option_keys, py::handle X,
                                               py::handle Y);

// training.cpp: standardisation through restoring the best state.
void run_training(RunContext& run);
// prediction.cpp: predictions, evaluation, summary, info, figures; returns
// (foreData, foreDataTrain, model, info).
py::tuple finish_run(RunContext& run);

}  // namespace hst
