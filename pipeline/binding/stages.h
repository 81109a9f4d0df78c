// The Python-facing stages of one call (GIL held), in the order the entry
// function runs them (pipeline.cpp), and the module setup's bindings. The
// values one call hands from stage to stage are in run_context.h.
#pragma once

#include <memory>
#include <string>

#include "binding/py_semantics.h"
#include "core/collective.h"
#include "core/data_prep.h"
#include "core/network.h"

namespace hst {

struct RunContext;
struct Settings;
struct TrainingChoices;

// ---- pipeline.cpp: the entry function and the stages it runs.
// `module` is the HybridSeqTrain module itself: the stages look up the names
// it binds (the network class, RatePredictions, __file__) on it, never by
// importing a module of that name again.
py::object hybrid_seq_train(py::object module, py::object X, py::object Y, py::object options);
// Labels, the scalar options' checks, adaptation and the pooling check, on
// run.options (completed): fills the labels, settings and adapted sequences
// (one rank of a sharded run: prepare_sharded_run).
void prepare_run(RunContext& run, py::object X, py::object Y);
// Its parts: the labels (y_original, classes, y_encoded) from Y, and the
// adapted sequences from X (run.y_original gives the sample count).
void encode_labels(RunContext& run, py::object Y);
void adapt_samples(RunContext& run, py::object X);
// Standardises run.sequences in place with the training rows' statistics
// (mapflag), setting feature_mean / feature_std.
void standardise_run(RunContext& run);

// ---- sharding.cpp: one rank of a sharded data-parallel run. Reads this
// rank's X and Y, then meets the other ranks: every rank refuses alike when
// one rank's data was refused, has no rows, or differs in its labels' kind or
// its samples' layout; otherwise every rank holds the labels, lengths and
// shape record of the shards' concatenation in rank order, its own sequences,
// and its rows' place in it (run.shard).
void prepare_sharded_run(RunContext& run, py::object X, py::object Y);
// The training rows' statistics over all shards, the ranks' moments merged
// in rank order; `data` is this rank's sequences [rows, features, steps].
FeatureStats sharded_statistics(RunContext& run, const float* data, int64_t features, int64_t steps);

// ---- options.cpp
// The 29 (key, default) pairs in insertion order, fresh objects each call.
py::list default_options();
// A deep copy of `options_in` (None: empty) completed with the defaults.
py::dict complete_options(py::object options_in);
// Checks the scalar options in their fixed order, converting each value
// once; the settings the later stages read are those converted values.
Settings validate_scalar_options(const py::dict& options);
// The options the training stage reads (deviceSel, classWeight, solverName
// with torch's own check of the learning rate, learnRateSchedule), checked
// in that order.
TrainingChoices training_choices(const py::dict& options, const Settings& settings, int64_t num_classes);
void set_random_seed(py::object seed);

// ---- process_group.cpp: the caller's default process group of
// torch.distributed when one is initialised with more than one rank and the
// options do not turn data-parallel training off ("dataParallel": False);
// otherwise null. Before returning it, every rank's call meets the others'
// within a bounded wait and compares what it was given (X, Y and the options
// named by `option_keys`); a rank that did not call, or a difference, raises
// on every calling rank.
// How a call inside a process group trains: alone (dataParallel False),
// every rank on the whole data (True, the default), or every rank on its own
// rows ("sharded").
enum class DataParallelMode { OFF, WHOLE, SHARDED };
DataParallelMode data_parallel_mode(const py::dict& options);
std::shared_ptr<Collective> join_data_parallel(const py::dict& options, const py::list& option_keys, py::handle X,
                                               py::handle Y);
// What a call was given, one "field\tdigest" line per field (X, Y, then
// options[key] for each of `option_keys`), and the name of the first field
// in which two such texts differ ("" when none does).
std::string data_fingerprint(const py::dict& options, const py::list& option_keys, py::handle X, py::handle Y);
// The option lines of data_fingerprint alone.
std::string options_fingerprint(const py::dict& options, const py::list& option_keys);
std::string first_difference(const std::string& a, const std::string& b);

// ---- adaptation.cpp: (sequences, shape_info)
py::tuple adapt_to_sequence(py::object X, py::object y_count, py::object sequence_axis,
                            py::object sample_dimension);
// Each row's own length from a shape record (int64 [n]); undefined when the
// record has none (every row has sequenceLength steps).
at::Tensor recorded_lengths(const py::dict& shape_info);
// The samples of X as a list of arrays when X is a list, tuple or 1-D
// object array of per-sample arrays (or nested lists); None otherwise.
py::object sample_list(py::handle X);
// sample_list(X) when the samples are read one by one: an object array, or
// samples whose shapes differ; None when X is read as one array.
py::object ragged_samples(py::handle X);

// ---- split.cpp: (train_idx, val_idx, test_idx), with the module's train_test_split
py::tuple split_indices(py::object module, py::object y_encoded, py::object options);
// One stage of the random split: `items` into (kept, held out), test_size of
// them held out, stratified by `labels` (one per item) when shuffling, seeded
// with seed + offset (seed unchanged for offset 0), or from the process-wide
// generator when seed equals 0.
py::tuple split_stage(py::object module, py::object items, py::object labels, double test_size, py::object seed,
                      int offset, bool shuffle);

// ---- training.cpp: device, network, engine settings, header, epoch loop
// and restore of the best state.
void run_training(RunContext& run);
// Every rank of a data-parallel run takes rank 0's split indices.
void share_split(RunContext& run);
// optimizer_settings.cpp: runs the constructor of torch.optim's own optimiser
// for `solver` ("adam", "sgdm" or "rmsprop") with the run's settings, so that
// torch's own checks refuse what torch refuses (with torch's exception).
void check_optimiser_settings(double learn_rate, const std::string& solver);

// ---- prediction.cpp: predictions, evaluation, summary, info, figures;
// returns (foreData, foreDataTrain, model, info).
py::tuple finish_run(RunContext& run);
py::object metrics_with_display_names(py::object module, py::object y_true, py::object y_pred,
                                      py::object encoded_classes);

// ---- module setup: network_module.cpp creates the `_CNNRNNClassifier`
// class, estimator.cpp the `HybridSeqClassifier` class, estimator_cv.cpp
// the `HybridSeqClassifierCV` class, raw_input_module.cpp the
// `_RawInputClassifier` class (what HybridSeqClassifier.to_module returns)
// and the `_EnsembleClassifier` class (HybridSeqClassifierCV.to_module's
// average of several), in module m.
void register_network(py::module_& m);
void register_estimator(py::module_& m);
void register_estimator_cv(py::module_& m);
void register_raw_input_classifier(py::module_& m);
// The checks of scikit-learn's suite that do not hold for the estimators by
// design, with why (the search's are those of the estimator it searches over).
py::dict expected_failed_checks();
// Accuracy of predicted labels against y (any label values), weighted by
// sample_weight when it is not None.
py::object weighted_accuracy(py::object pred, py::object y, py::object sample_weight);
// Reads the network's parameters and settings from a module instance.
NetParams extract_net_params(py::handle module);

}  // namespace hst
