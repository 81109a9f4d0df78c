// Data-parallel runs in which every rank passes rows of its own ("sharded"):
// the ranks meet once their own data is read, and every rank then holds the
// labels, lengths and shape record of the concatenation of the shards in
// rank order; X never leaves its rank. Standardisation merges the ranks'
// moments in rank order.
#include <algorithm>
#include <exception>
#include <sstream>

#include "binding/native_call.h"
#include "binding/run_context.h"
#include "binding/stages.h"
#include "core/data_prep.h"

namespace hst {

namespace {

// Every rank's bytes, by rank (sizes first, then each rank broadcasts its own).
std::vector<std::string> all_gather_bytes(Collective& group, const std::string& mine) {
  const int world = group.world_size(), rank = group.rank();
  std::vector<std::string> out(world);
  call_native(/*printing=*/false, [&](const EngineHooks&) {
    at::Tensor sizes = at::zeros({world}, at::kLong);
    sizes.data_ptr<int64_t>()[rank] = static_cast<int64_t>(mine.size());
    group.allreduce_sum({sizes});
    for (int r = 0; r < world; ++r) {
      const int64_t n = sizes.data_ptr<int64_t>()[r];
      if (n == 0) continue;
      at::Tensor buf = r == rank ? at::from_blob(const_cast<char*>(mine.data()), {n}, at::kByte).clone()
                                 : at::empty({n}, at::kByte);
      group.broadcast(buf, r);
      out[r].assign(reinterpret_cast<const char*>(buf.data_ptr<uint8_t>()), static_cast<size_t>(n));
    }
  });
  return out;
}

std::string pickled(const py::object& value) {
  return py::module_::import("pickle").attr("dumps")(value).cast<std::string>();
}

py::object unpickled(const std::string& bytes) {
  return py::module_::import("pickle").attr("loads")(py::bytes(bytes));
}

// What the ranks compare of one shard's samples: the layout of a sample but
// its length along the sequence axis ("*"), which may differ from shard to shard.
std::string sample_layout(const py::dict& record) {
  const int64_t seq = record["sequenceAxis"].cast<int64_t>();
  std::string shape;
  int64_t d = 0;
  for (py::handle len : record["sampleShape"]) {
    shape += (d ? ", " : "") + (d == seq ? std::string("*") : py::str(len).cast<std::string>());
    ++d;
  }
  return std::to_string(py::len(record["originalShape"])) + " 维，样本在第 " + py::str(record["sampleAxis"]).cast<std::string>() +
         " 维，单条样本 (" + shape + (d == 1 ? ",)" : ")");
}

// The concatenation's record, from rank 0's: the sample count N, the longest
// length, and each row's length when they are not all equal.
py::dict joined_record(const py::dict& first, int64_t n, const std::vector<int64_t>& lengths) {
  int64_t longest = 0;
  for (int64_t len : lengths) longest = std::max(longest, len);
  const int64_t sample_axis = first["sampleAxis"].cast<int64_t>(), seq = first["sequenceAxis"].cast<int64_t>();
  py::list original(first["originalShape"]), sample(first["sampleShape"]);
  original[sample_axis] = py::int_(n);
  original[seq + (seq >= sample_axis ? 1 : 0)] = py::int_(longest);
  sample[seq] = py::int_(longest);
  py::dict record;
  for (auto item : first) record[item.first] = item.second;  // the keys in their order
  record.attr("pop")("sequenceLengths", py::none());
  record["originalShape"] = py::tuple(original);
  record["sampleShape"] = py::tuple(sample);
  record["adaptedShape"] = py::make_tuple(n, first["featureCount"], longest);
  record["sequenceLength"] = py::int_(longest);
  if (std::any_of(lengths.begin(), lengths.end(), [&](int64_t len) { return len != longest; })) {
    py::tuple own(lengths.size());
    for (size_t i = 0; i < lengths.size(); ++i) own[i] = py::int_(lengths[i]);
    record["sequenceLengths"] = own;
  }
  return record;
}

std::string kind_of(const py::object& y) { return y.attr("dtype").attr("kind").cast<std::string>(); }

[[noreturn]] void refuse_between(const std::string& what, int r, const std::string& first, const std::string& other,
                                 const std::string& why) {
  raise_value_error(what + "在进程 0 与进程 " + std::to_string(r) + " 之间不同（" + first + " 与 " + other + "）：" + why);
}

}  // namespace

void prepare_sharded_run(RunContext& run, py::object X, py::object Y) {
  py::module_ np = py::module_::import("numpy");
  Collective& group = *run.collective;
  const int world = group.world_size();

  // This rank's own rows, read and checked by itself; then every rank learns
  // how every other fared, so that all refuse together.
  std::exception_ptr failure;
  std::string failure_text;
  py::object y_local = py::none();
  int64_t rows = 0;
  try {
    y_local = np.attr("asarray")(Y).attr("reshape")(-1);
    rows = py::len(y_local);
    run.settings = validate_scalar_options(run.options);
    if (rows > 0) {
      run.y_original = y_local;
      adapt_samples(run, X);
    }
  } catch (py::error_already_set& e) {
    failure = std::current_exception();
    failure_text = py::str(e.type().attr("__name__")).cast<std::string>() + ": " + py::str(e.value()).cast<std::string>();
  } catch (const std::exception& e) {
    failure = std::current_exception();
    failure_text = e.what();
  }
  const bool failed = static_cast<bool>(failure);
  py::dict mine;
  mine["failure"] = failed ? py::object(py::str(failure_text)) : py::object(py::none());
  mine["rows"] = py::int_(rows);
  if (!failed && rows > 0) {
    mine["y"] = y_local;
    mine["record"] = run.shape_info;
    mine["layout"] = py::str(sample_layout(run.shape_info));
    std::vector<int64_t> own(rows, run.sequences.shape(2));
    if (run.lengths.defined()) own.assign(run.lengths.data_ptr<int64_t>(), run.lengths.data_ptr<int64_t>() + rows);
    mine["lengths"] = py::cast(own);
    // What a checkpoint is written for includes every rank's shard.
    if (run.options.contains("checkpointPath") && !run.options["checkpointPath"].is_none())
      mine["fingerprint"] = py::str(data_fingerprint(run.options, py::list(), X, Y));
  }
  std::vector<py::dict> all;
  for (const std::string& bytes : all_gather_bytes(group, pickled(mine))) all.push_back(unpickled(bytes));

  if (failed) std::rethrow_exception(failure);  // (options refused alike fail every rank with its own error)
  for (int r = 0; r < world; ++r) {
    if (all[r]["failure"].is_none()) continue;
    raise_value_error("进程 " + std::to_string(r) + " 的数据未通过检查（" + all[r]["failure"].cast<std::string>() +
                      "），各进程一同停止");
  }
  for (int r = 0; r < world; ++r)
    if (all[r]["rows"].cast<int64_t>() == 0)
      raise_value_error("数据并行（分片）训练时每个进程至少需要1条样本：进程 " + std::to_string(r) + " 没有样本");
  const std::string kind0 = kind_of(all[0]["y"]), layout0 = all[0]["layout"].cast<std::string>();
  for (int r = 1; r < world; ++r) {
    const std::string kind = kind_of(all[r]["y"]), layout = all[r]["layout"].cast<std::string>();
    if (kind != kind0)
      refuse_between("Y 的类型", r, kind0, kind, "分片数据并行训练时各进程的标签须是同一类型（NumPy dtype.kind）");
    if (layout != layout0)
      refuse_between("X 的样本形状", r, layout0, layout,
                     "分片数据并行训练时各进程的样本除序列长度（*）外须有相同的布局");
  }

  // The concatenation in rank order: labels, lengths, shape record; this
  // rank's rows are begin..end-1 of it.
  py::list ys;
  std::vector<int64_t> lengths;
  int64_t begin = 0;
  for (int r = 0; r < world; ++r) {
    if (r == group.rank()) run.shard = Shard{true, begin, begin + all[r]["rows"].cast<int64_t>()};
    begin += all[r]["rows"].cast<int64_t>();
    ys.append(all[r]["y"]);
    for (py::handle len : all[r]["lengths"]) lengths.push_back(len.cast<int64_t>());
    if (all[r].contains("fingerprint")) {
      std::istringstream lines(all[r]["fingerprint"].cast<std::string>());
      for (std::string line; std::getline(lines, line);)
        run.shard_fingerprint += line.substr(0, line.find('\t')) + "[进程 " + std::to_string(r) + "]" +
                                 line.substr(line.find('\t')) + "\n";
    }
  }
  encode_labels(run, np.attr("concatenate")(ys));
  run.shape_info = joined_record(all[0]["record"], begin, lengths);
  run.lengths = recorded_lengths(run.shape_info);
}

FeatureStats sharded_statistics(RunContext& run, const float* data, int64_t features, int64_t steps) {
  Collective& group = *run.collective;
  const Shard shard = run.shard;
  py::array_t<int64_t, py::array::c_style | py::array::forcecast> train(run.train_idx);
  std::vector<int64_t> rows;
  for (py::ssize_t i = 0; i < train.size(); ++i)
    if (train.data()[i] >= shard.begin && train.data()[i] < shard.end) rows.push_back(train.data()[i] - shard.begin);
  const at::Tensor lengths = run.lengths.defined() ? run.lengths.slice(0, shard.begin, shard.end).contiguous() : at::Tensor();
  const int world = group.world_size();
  const int64_t width = 1 + 2 * features;
  at::Tensor table = at::zeros({world, width}, at::kDouble);
  FeatureStats stats;
  call_native(/*printing=*/false, [&](const EngineHooks&) {
    const FeatureMoments own = feature_moments(data, features, steps, rows.data(), static_cast<int64_t>(rows.size()),
                                               lengths.defined() ? lengths.data_ptr<int64_t>() : nullptr);
    double* mine = table.data_ptr<double>() + group.rank() * width;
    mine[0] = own.count;
    std::copy(own.mean.begin(), own.mean.end(), mine + 1);
    std::copy(own.m2.begin(), own.m2.end(), mine + 1 + features);
    group.allreduce_sum({table});
    // merged in rank order: the same bits on every rank
    FeatureMoments merged;
    for (int r = 0; r < world; ++r) {
      const double* row = table.data_ptr<double>() + r * width;
      FeatureMoments part;
      part.count = row[0];
      part.mean.assign(row + 1, row + 1 + features);
      part.m2.assign(row + 1 + features, row + 1 + 2 * features);
      merged = r == 0 ? part : merge_moments(merged, part);
    }
    stats = statistics_of(merged);
  });
  return stats;
}

}  // namespace hst
