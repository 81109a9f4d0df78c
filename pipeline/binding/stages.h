// The Python-facing stages of one call (GIL held): their entry points as the
// module setup binds them and as the other stages call them. The values one
// call hands from stage to stage are in run_context.h.
#pragma once

#include <memory>
#include <string>

#include "binding/py_semantics.h"
#include "core/collective.h"
#include "core/network.h"

namespace hst {

struct RunContext;

// options.cpp: the entry function, the seeding helper and the steps the
// estimator shares with the entry function.
// The 29 (key, default) pairs in insertion order, fresh objects each call.
py::list default_options();
// A deep copy of `options_in` (None: empty) completed with the defaults.
py::dict complete_options(py::object options_in);
// `module` is the HybridSeqTrain module itself: the stages look up the names
// it binds (the network class, RatePredictions, __file__) on it, never by
// importing a module of that name again.
py::object hybrid_seq_train(py::object module, py::object X, py::object Y, py::object options);
void set_random_seed(py::object seed);

// Labels, the scalar options' checks, adaptation and the pooling check, on
// run.options (completed): fills the labels and the adapted sequences.
void prepare_run(RunContext& run, py::object X, py::object Y);

// estimator.cpp: creates the `HybridSeqClassifier` class in module m.
void register_estimator(py::module_& m);
// estimator_cv.cpp: creates the `HybridSeqClassifierCV` class in module m.
void register_estimator_cv(py::module_& m);

// adaptation.cpp: (sequences, shape_info)
py::tuple adapt_to_sequence(py::object X, py::object y_count, py::object sequence_axis,
                            py::object sample_dimension);
// The samples of X as a list of arrays when X is a list, tuple or 1-D
// object array of per-sample arrays (or nested lists); None otherwise.
py::object sample_list(py::handle X);
// sample_list(X) when the samples are read one by one: an object array, or
// samples whose shapes differ; None when X is read as one array.
py::object ragged_samples(py::handle X);

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
