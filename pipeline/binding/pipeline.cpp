// HybridSeqTrain's stages in order: adapt, split, standardise, train,
// predict, report. Each stage reads what the ones before it left in the
// run's context (run_context.h) and adds its own results there; the
// comments on each call name both.
#include <algorithm>

#include "binding/checkpoint.h"
#include "binding/run_context.h"
#include "binding/stages.h"
#include "core/data_prep.h"

namespace hst {

namespace {

// The option keys every rank of a data-parallel run must agree on: the 29,
// and the checkpoint's path when one is given (every rank names the same file).
py::list option_keys(const py::dict& options) {
  py::list keys;
  for (py::handle item : default_options()) keys.append(item[py::int_(0)]);
  if (options.contains("checkpointPath")) keys.append("checkpointPath");
  return keys;
}

}  // namespace

// Y -> y_original (flat), classes (sorted distinct labels), y_encoded (codes).
void encode_labels(RunContext& run, py::object Y) {
  py::module_ np = py::module_::import("numpy");
  run.y_original = np.attr("asarray")(Y).attr("reshape")(-1);
  if (run.y_original.size() < 3) raise_value_error("Y 至少需要3条样本");
  py::tuple uniq = np.attr("unique")(run.y_original, py::arg("return_inverse") = true);
  run.classes = uniq[0];
  run.y_encoded = uniq[1].attr("reshape")(-1);
  run.num_classes = static_cast<int64_t>(run.classes.size());
  if (run.num_classes < 2) raise_value_error("分类任务至少需要两个类别");
}

// X -> sequences float32 [n, F, L], shape_info and each row's own length;
// every pooling window must fit the shortest sample.
void adapt_samples(RunContext& run, py::object X) {
  py::tuple adapted = adapt_to_sequence(X, py::int_(run.y_original.size()), to_int(run.options["sequenceAxis"]),
                                        run.options["sampleDimension"]);
  run.sequences = adapted[0];
  run.shape_info = adapted[1];
  run.lengths = recorded_lengths(run.shape_info);
  const int64_t shortest =
      run.lengths.defined() ? run.lengths.min().item<int64_t>() : static_cast<int64_t>(run.sequences.shape(2));
  if (!py_le(run.settings.pool_size, static_cast<double>(shortest)))
    raise_value_error(run.lengths.defined() ? "poolSize 不能大于序列长度（最短的样本长 " + std::to_string(shortest) + "）"
                                            : std::string("poolSize 不能大于序列长度"));
}

namespace {

// seed, y_encoded, options -> train_idx, val_idx, test_idx (every rank of a
// data-parallel run takes rank 0's).
void split(RunContext& run) {
  set_random_seed(to_int(run.options["seed"]));
  py::tuple parts = split_indices(run.module, run.y_encoded, run.options);
  run.train_idx = parts[0];
  run.val_idx = parts[1];
  run.test_idx = parts[2];
  if (run.collective) share_split(run);
}

}  // namespace

void prepare_run(RunContext& run, py::object X, py::object Y) {
  if (run.collective && data_parallel_mode(run.options) == DataParallelMode::SHARDED) {
    prepare_sharded_run(run, X, Y);  // every rank's rows of its own, met with the others'
    return;
  }
  encode_labels(run, Y);
  run.settings = validate_scalar_options(run.options);
  adapt_samples(run, X);
}

void standardise_run(RunContext& run) {
  const int64_t f = run.sequences.shape(1);
  if (!python_bool(run.options["mapflag"])) {
    py::module_ np = py::module_::import("numpy");
    run.feature_mean = np.attr("zeros")(py::make_tuple(1, f, 1), py::arg("dtype") = np.attr("float32"));
    run.feature_std = np.attr("ones")(py::make_tuple(1, f, 1), py::arg("dtype") = np.attr("float32"));
    return;
  }
  // Every row, in place, with the mean and population standard deviation of
  // the training rows (their real steps only).
  const int64_t n = run.sequences.shape(0), l = run.sequences.shape(2);
  float* data = static_cast<float*>(run.sequences.mutable_data());
  FeatureStats stats;
  if (run.shard.active) {  // this rank's rows are a part of the whole
    const at::Tensor own = run.lengths.defined()
                               ? run.lengths.slice(0, run.shard.begin, run.shard.end).contiguous()
                               : at::Tensor();
    stats = sharded_statistics(run, data, f, l);
    py::gil_scoped_release nogil;
    standardise(data, n, f, l, stats, own.defined() ? own.data_ptr<int64_t>() : nullptr);
  } else {
    py::array_t<int64_t, py::array::c_style | py::array::forcecast> rows(run.train_idx);
    const int64_t* lengths = run.lengths.defined() ? run.lengths.data_ptr<int64_t>() : nullptr;
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

py::object hybrid_seq_train(py::object module, py::object X, py::object Y, py::object options_in) {
  if (!options_in.is_none() && !PyDict_CheckExact(options_in.ptr()))
    annotated::raise_argument_type("options", "dict", options_in);
  RunContext run;
  run.module = module;
  run.options = complete_options(options_in);
  // One rank of a data-parallel run: every rank of the caller's process
  // group must call, with the same data and options, before anything else
  // happens (so every check below refuses alike on all of them).
  run.collective = join_data_parallel(run.options, option_keys(run.options), X, Y);

  // adapt: Y, X, options -> labels, settings, sequences, shape_info, lengths
  // (with "dataParallel": "sharded", every rank passes rows of its own and
  // gets the labels, lengths and record of all shards, its own sequences)
  prepare_run(run, X, Y);
  split(run);              // split: seed, y_encoded -> train_idx, val_idx, test_idx
  open_checkpoint(run, X, Y, "HybridSeqTrain");  // checkpointPath: the state a resumed call goes on from
  standardise_run(run);    // standardise: sequences (in place), train_idx -> feature_mean, feature_std
  run_training(run);       // train: -> device, model (best state, eval mode), history, best epoch and loss
  return finish_run(run);  // predict and report: -> (foreData, foreDataTrain, model, info), figures
}

}  // namespace hst
