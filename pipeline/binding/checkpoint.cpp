#include "binding/checkpoint.h"

#include <cstring>
#include <exception>

#include "binding/stages.h"
#include "core/checkpoint.h"

namespace hst {

// The checkpoint of one call: where it lives, what it was written for, and
// the state to go on from when the call resumes.
struct CheckpointRun {
  std::string path;
  std::string fingerprint;
  std::vector<at::Tensor> split;  // train, validation, test rows (int64)
  bool resumed = false;
  TrainingState saved;
  std::unique_ptr<CheckpointWriter> writer;  // this process writes the file (alone, or rank 0)
};

namespace {

constexpr const char* kKey = "checkpointPath";

// The absolute path named by options["checkpointPath"]; "" when the key is
// absent or None.
std::string checkpoint_path(const py::dict& options) {
  if (!options.contains(kKey)) return "";
  py::object value = options[kKey];
  if (value.is_none()) return "";
  py::module_ os = py::module_::import("os");
  return os.attr("path").attr("abspath")(os.attr("fsdecode")(os.attr("fspath")(value))).cast<std::string>();
}

at::Tensor rows_tensor(const py::array& rows) {
  py::module_ np = py::module_::import("numpy");
  py::array_t<int64_t, py::array::c_style | py::array::forcecast> a(np.attr("asarray")(rows, py::arg("dtype") = np.attr("int64")));
  return at::from_blob(const_cast<int64_t*>(a.data()), {static_cast<int64_t>(a.size())}, at::kLong).clone();
}

py::array rows_array(const at::Tensor& rows) {
  py::array_t<int64_t> a(rows.numel());
  std::memcpy(a.mutable_data(), rows.data_ptr<int64_t>(), rows.numel() * sizeof(int64_t));
  return a;
}

[[noreturn]] void refuse_corrupt(const std::string& path, const std::string& why) {
  raise_value_error("检查点文件 " + path + " 已损坏或不完整（" + why +
                    "），无法从中恢复；文件未被改动。请删除它或换一个 checkpointPath 重新训练。");
}

// Status rank 0 sends before the bytes: no file, or a file it could not read.
constexpr int64_t kNoFile = -1, kUnreadable = -2;

// Rank 0's file contents on every rank: rank 0 reads, the others receive,
// so no rank needs the file. Returns false when there is no file.
bool read_on_rank0(RunContext& run, const std::string& path, std::string& bytes) {
  Collective* group = run.collective.get();
  int64_t status = kNoFile;
  std::string error;
  if (!group || group->rank() == 0) {
    try {
      if (read_whole_file(path, bytes)) status = static_cast<int64_t>(bytes.size());
    } catch (const std::exception& e) {
      status = kUnreadable;
      error = e.what();
    }
  }
  if (group) {
    py::gil_scoped_release nogil;
    at::Tensor head = at::tensor({status}, at::kLong);
    group->broadcast(head, /*root=*/0);
    status = head.item<int64_t>();
    if (status > 0) {
      at::Tensor body = group->rank() == 0 ? at::from_blob(bytes.data(), {status}, at::kByte).clone()
                                           : at::empty({status}, at::kByte);
      group->broadcast(body, /*root=*/0);
      bytes.assign(reinterpret_cast<const char*>(body.data_ptr<uint8_t>()), static_cast<size_t>(status));
    } else if (status == 0) {
      bytes.clear();
    }
  }
  if (status == kUnreadable)
    throw std::runtime_error("检查点文件 " + path + " 无法读取" + (error.empty() ? "（进程 0 上）" : "：" + error));
  return status != kNoFile;
}

}  // namespace

void start_random_streams(RunContext& run) {
  // set_random_seed has refused what NumPy does not take (a negative seed,
  // or one of 2^32 or more) before this runs.
  const uint64_t seed = PyLong_AsUnsignedLongLongMask(to_int(run.options["seed"]).ptr());
  if (PyErr_Occurred()) throw py::error_already_set();
  run.streams = make_random_streams(seed, run.device);
  draw_initial_parameters(extract_net_params(run.model), run.streams.cpu);
}

void open_checkpoint(RunContext& run, py::handle X, py::handle Y, const std::string& call) {
  const std::string path = checkpoint_path(run.options);
  if (path.empty()) return;
  auto ck = std::make_shared<CheckpointRun>();
  ck->path = path;
  py::list keys;
  for (py::handle item : default_options()) keys.append(item[py::int_(0)]);
  const int world = run.collective ? run.collective->world_size() : 1;
  // Sharded: every rank's X and Y, each rank's own as it read them.
  const std::string data = run.shard.active ? run.shard_fingerprint + options_fingerprint(run.options, keys)
                                            : data_fingerprint(run.options, keys, X, Y);
  ck->fingerprint = "call\t" + call + "\n" + data + "worldSize\t" + std::to_string(world) + "\n";

  std::string bytes;
  if (read_on_rank0(run, path, bytes)) {
    Checkpoint saved;
    try {
      saved = decode_checkpoint(bytes);
    } catch (const CheckpointFormatError& e) {
      refuse_corrupt(path, e.what());
    }
    const std::string field = first_difference(ck->fingerprint, saved.fingerprint);
    if (!field.empty())
      raise_value_error("检查点文件 " + path + " 是为其他数据或选项写入的（" + field +
                        " 不同），不能从中恢复；文件未被改动。请换一个 checkpointPath，或删除它后重新训练。");
    if (saved.split.size() != 3) refuse_corrupt(path, "split");
    for (const at::Tensor& rows : saved.split)
      if (!rows.defined() || rows.scalar_type() != at::kLong || rows.dim() != 1) refuse_corrupt(path, "split");
    // The rows the interrupted run trained on (with seed 0 they are drawn
    // afresh by every call, so they come from the file).
    run.train_idx = rows_array(saved.split[0]);
    run.val_idx = rows_array(saved.split[1]);
    run.test_idx = rows_array(saved.split[2]);
    ck->resumed = true;
    ck->saved = std::move(saved.training);
    if (run.prints()) {
      const std::string done = std::to_string(ck->saved.epochs_done);
      print_line(ck->saved.finished
                     ? "检查点 " + path + " 中的训练已完成（" + done + " 轮），不再训练，直接给出结果。"
                     : "从检查点 " + path + " 恢复：已完成 " + done + " 轮，从第 " +
                           std::to_string(ck->saved.epochs_done + 1) + " 轮继续训练。");
    }
  }
  ck->split = {rows_tensor(run.train_idx), rows_tensor(run.val_idx), rows_tensor(run.test_idx)};
  if (run.leads()) ck->writer = std::make_unique<CheckpointWriter>(path, ck->fingerprint, ck->split);
  run.checkpoint = ck;
}

void attach_checkpoint(const RunContext& run, EngineConfig& cfg) {
  cfg.resume = run.checkpoint && run.checkpoint->resumed ? &run.checkpoint->saved : nullptr;
}

EngineHooks checkpoint_hooks(const RunContext& run, const EngineHooks& hooks) {
  EngineHooks out = hooks;
  if (!run.checkpoint) return out;
  std::shared_ptr<CheckpointRun> ck = run.checkpoint;
  // Every rank takes part (the random states of all ranks are gathered);
  // one writes.
  out.on_checkpoint = [ck](const TrainingState& state) {
    if (!ck->writer) return;
    try {
      ck->writer->submit(state);
    } catch (const std::exception& e) {
      throw std::runtime_error("检查点文件 " + ck->path + " 写入失败：" + e.what());
    }
  };
  return out;
}

void finish_checkpoint(RunContext& run) {
  if (!run.checkpoint || !run.checkpoint->writer) return;
  try {
    py::gil_scoped_release nogil;
    run.checkpoint->writer->finish();
  } catch (const std::exception& e) {
    throw std::runtime_error("检查点文件 " + run.checkpoint->path + " 写入失败：" + e.what());
  }
}

}  // namespace hst
