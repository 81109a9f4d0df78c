// Data-parallel runs: finds the process group of torch.distributed the
// caller initialised, makes sure every rank of it called with the same data
// and options (a bounded handshake over the group's store), and drives the
// group from the native loop through c10d's C++ API (gloo, NCCL or whatever
// backend the group was created with).
//
// A rank that stops in the middle of a run (Ctrl-C, an error) leaves marks in
// the group's store: one for the call it left, which the other ranks read
// while they wait in an exchange and then stop waiting, and one for the group
// itself once a rank stopped waiting for an exchange it had started: that
// exchange stays half done in the backend, so no later call of any rank may
// exchange over the group again, and every later call refuses at once.
#include <torch/csrc/distributed/c10d/ProcessGroup.hpp>
#include <torch/csrc/distributed/c10d/Store.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "binding/native_call.h"
#include "binding/stages.h"
#include "core/checksum.h"

namespace hst {

namespace {

// ---- Marks in the store --------------------------------------------------

// The root of every key of ours. torchrun's agent may keep one store across
// the restarts of a group (torch 2.x does), so a restarted group starts from
// keys of its own: marks left by the attempt that died must not refuse it.
std::string key_root() {
  const char* restart = std::getenv("TORCHELASTIC_RESTART_COUNT");
  return restart != nullptr && *restart != '\0' ? std::string("hst/restart") + restart + "/" : std::string("hst/");
}
// Set (non-zero) once a rank stopped waiting for an exchange; who did is
// under unusable_by_key().
std::string unusable_key() { return key_root() + "unusable"; }
std::string unusable_by_key() { return key_root() + "unusable/by"; }
// Under the prefix of one call: set once a rank left that call early.
const char* const kLeft = "left";
const char* const kLeftBy = "left/by";

std::vector<uint8_t> bytes_of(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// Posts a mark: who first (a reader that sees the mark reads who next), then
// the mark.
void post_mark(c10d::Store& store, const std::string& key, const std::string& by_key, int rank) {
  store.set(by_key, bytes_of(std::to_string(rank)));
  store.add(key, 1);
}

// The rank that posted the mark `key`, "" when it is not set.
std::string read_mark(c10d::Store& store, const std::string& key, const std::string& by_key) {
  if (store.add(key, 0) == 0) return "";
  const std::vector<uint8_t> by = store.get(by_key);
  return std::string(by.begin(), by.end());
}

[[noreturn]] void raise_group_unusable(const std::string& by) {
  throw std::runtime_error("torch.distributed 进程组已不可用：进程 " + by +
                           " 在数据并行训练的集合通信中途停止（被中断或出错），各进程上未完成的集合通信已无法配对。"
                           "请重新创建进程组后再做数据并行训练；只在本进程单独训练时，请在 options 中设置 "
                           "\"dataParallel\": False。");
}

// How long one wait for an exchange lasts before Ctrl-C and the other ranks'
// marks are looked at again.
constexpr std::chrono::milliseconds kWaitSlice(100);

class ProcessGroupCollective final : public Collective {
 public:
  // `sliced`: the backend's wait may be given a time limit and simply
  // returns to us when it passes (gloo; not NCCL, whose timed wait ends the
  // communicator); `prefix`: the keys of this call in the store.
  ProcessGroupCollective(c10::intrusive_ptr<c10d::ProcessGroup> group, c10::intrusive_ptr<c10d::Store> store,
                         std::string prefix, at::Device device, bool sliced)
      : group_(std::move(group)),
        store_(std::move(store)),
        prefix_(std::move(prefix)),
        rank_(group_->getRank()),
        world_(group_->getSize()),
        device_(device),
        sliced_(sliced),
        check_interrupt_(python_hooks(/*printing=*/false).check_interrupt),
        unwinding_at_start_(std::uncaught_exceptions()) {}

  // The call ends: when it ends by an exception, the other ranks may be
  // waiting in an exchange this rank will never join, and read that it left.
  ~ProcessGroupCollective() override {
    if (std::uncaught_exceptions() <= unwinding_at_start_) return;
    try {
      post_mark(*store_, prefix_ + kLeft, prefix_ + kLeftBy, rank_);
    } catch (...) {  // the store is gone with its rank: the backend tells the others
    }
  }

  int rank() const override { return rank_; }
  int world_size() const override { return world_; }

  // The backend's threads hold the tensors of an operation until they let
  // go of it, which may be after the wait here returned, after the caller
  // handed the tensor to Python, or while the interpreter shuts down. So
  // they are given handles of their own on the memory (no Python object
  // behind them; broadcasts go through a copy of ours): never one whose
  // release would need the GIL on a thread of the backend.
  void allreduce_sum(const std::vector<at::Tensor>& tensors) override {
    // Every bucket is issued before the first wait, so the backend may
    // overlap them.
    // Tensors off the backend's device travel through a copy on it.
    std::vector<c10::intrusive_ptr<c10d::Work>> pending;
    std::vector<at::Tensor> wires;
    for (const at::Tensor& t : tensors) {
      wires.push_back(t.device() == device_ ? t.detach() : t.detach().to(device_));
      std::vector<at::Tensor> one{wires.back()};
      c10d::AllreduceOptions opts;
      opts.reduceOp = c10d::ReduceOp::SUM;
      pending.push_back(group_->allreduce(one, opts));
    }
    for (auto& work : pending) finish(work);
    for (size_t i = 0; i < tensors.size(); ++i)
      if (tensors[i].device() != device_) tensors[i].copy_(wires[i]);
  }

  void broadcast(const at::Tensor& tensor, int root) override {
    // A copy on the backend's device (NCCL moves tensors of its own device
    // only); the result is written back in place.
    at::Tensor wire = tensor.to(device_).clone(at::MemoryFormat::Contiguous);
    std::vector<at::Tensor> one{wire};
    c10d::BroadcastOptions opts;
    opts.rootRank = root;
    opts.rootTensor = 0;
    finish(group_->broadcast(one, opts));
    tensor.copy_(wire);
  }

 private:
  // Waits until `work` has finished on this rank, a slice at a time. Between
  // slices: Ctrl-C raises KeyboardInterrupt, and a rank that left this call
  // or stopped waiting in the group makes this one stop too (RuntimeError).
  // Either way this rank leaves an exchange unfinished, so it marks the
  // group unusable first.
  void finish(const c10::intrusive_ptr<c10d::Work>& work) {
    if (!sliced_) {
      work->wait();
      return;
    }
    while (true) {
      bool running = false;
      try {
        work->wait(kWaitSlice);
        return;
      } catch (...) {  // the slice passed, or the operation itself failed
        running = !work->isCompleted();
      }
      // Finished meanwhile: its own result, or its own error.
      if (!running) {
        work->wait();
        return;
      }
      try {
        check_interrupt_();
      } catch (...) {
        mark_unusable();
        throw;
      }
      std::string by;
      try {
        by = read_mark(*store_, prefix_ + kLeft, prefix_ + kLeftBy);
        if (by.empty()) by = read_mark(*store_, unusable_key(), unusable_by_key());
      } catch (const std::exception&) {  // a store that cannot answer: the backend's own error or timeout decides
        continue;
      }
      if (by.empty()) continue;
      mark_unusable();
      raise_group_unusable(by);
    }
  }

  void mark_unusable() noexcept {
    try {
      post_mark(*store_, unusable_key(), unusable_by_key(), rank_);
    } catch (...) {
    }
  }

  c10::intrusive_ptr<c10d::ProcessGroup> group_;
  c10::intrusive_ptr<c10d::Store> store_;
  std::string prefix_;
  int rank_, world_;
  at::Device device_;
  bool sliced_;
  std::function<void()> check_interrupt_;
  int unwinding_at_start_;
};

// ---- What a rank was given ---------------------------------------------

std::string hex64(uint64_t v) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
  return buf;
}

std::string text_digest(const std::string& text) { return hex64(checksum_bytes(text.data(), text.size())); }

// Default reprs carry the object's address ("<Reader object at 0x7f3a...>"),
// which differs from process to process: the digits after "at 0x" are left
// out of what is compared.
std::string without_addresses(const std::string& text) {
  static const std::string marker = " at 0x";
  std::string out;
  size_t from = 0;
  for (size_t at; (at = text.find(marker, from)) != std::string::npos;) {
    size_t end = at + marker.size();
    while (end < text.size() && std::isxdigit(static_cast<unsigned char>(text[end]))) ++end;
    out.append(text, from, at - from).append(" at 0x?");
    from = end;
  }
  return out.append(text, from, std::string::npos);
}

std::string repr_digest(py::handle value) { return text_digest(without_addresses(py::repr(value).cast<std::string>())); }

// A Python error met while reading a value, as every rank given the same
// value meets it: the error's type and its text (addresses left out).
// Ctrl-C (KeyboardInterrupt), MemoryError and the other exits that are not
// ordinary errors (SystemExit, ...) are no property of the data: they
// propagate. Called inside the handler that caught `e`.
std::string error_digest(py::error_already_set& e) {
  if (!e.matches(PyExc_Exception) || e.matches(PyExc_MemoryError)) throw;
  py::object type = e.type();
  std::string name = reinterpret_cast<PyTypeObject*>(type.ptr())->tp_name, text;
  try {
    name = py::str(type.attr("__module__")).cast<std::string>() + "." +
           py::str(type.attr("__qualname__")).cast<std::string>();
    text = without_addresses(py::str(e.value()).cast<std::string>());
  } catch (py::error_already_set& inner) {  // a type or error that cannot say more: its type's own name
    if (!inner.matches(PyExc_Exception) || inner.matches(PyExc_MemoryError)) throw;
  }
  return "unreadable:" + name + ":" + text_digest(text);
}

// read() with the GIL held; a Python error it raises becomes its digest.
template <typename F>
std::string digest_or_error(F&& read) {
  try {
    return read();
  } catch (py::error_already_set& e) {
    return error_digest(e);
  }
}

// dtype, shape and a checksum of the elements of an array. Object arrays
// (texts or Python numbers held as objects) are read through their values'
// repr, which is what decides their meaning.
std::string array_digest(const py::module_& np, const py::object& value) {
  py::array a = py::reinterpret_borrow<py::array>(value);
  std::string shape = text_of(a.attr("shape"));
  if (a.attr("dtype").attr("kind").cast<std::string>() == "O")
    return "object" + shape + ":" + repr_digest(a.attr("tolist")());
  py::array c = np.attr("ascontiguousarray")(a);
  const void* data = c.data();
  const size_t bytes = static_cast<size_t>(c.nbytes());
  uint64_t sum;
  {
    py::gil_scoped_release nogil;
    sum = checksum_bytes(data, bytes);
  }
  return a.attr("dtype").attr("str").cast<std::string>() + shape + ":" + hex64(sum);
}

std::string value_digest(const py::module_& np, const py::object& value) {
  return digest_or_error([&] {
    if (py::isinstance(value, np.attr("ndarray"))) return array_digest(np, value);
    return std::string(Py_TYPE(value.ptr())->tp_name) + ":" + repr_digest(value);
  });
}

// X and Y as the pipeline will read them: one array, or per-sample arrays
// of unequal length each by itself. One that NumPy cannot read is recorded
// by its error, which the pipeline raises again later on every rank.
std::string input_digest(const py::module_& np, const py::object& value) {
  return digest_or_error([&] {
    py::object samples = ragged_samples(value);
    if (samples.is_none()) return array_digest(np, np.attr("asarray")(value));
    // The list is ours; each sample is held while its digest is taken (the
    // reprs of object arrays run Python code).
    const py::tuple items(samples);
    std::string all = "samples" + std::to_string(items.size()) + ":";
    for (size_t i = 0; i < items.size(); ++i) all += array_digest(np, items[i]) + ";";
    return "ragged:" + text_digest(all);
  });
}

}  // namespace

// One line per field, "name\tdigest", in a fixed order.
std::string data_fingerprint(const py::dict& options, const py::list& option_keys, py::handle X_given,
                             py::handle Y_given) {
  const auto X = py::reinterpret_borrow<py::object>(X_given), Y = py::reinterpret_borrow<py::object>(Y_given);
  py::module_ np = py::module_::import("numpy");
  return "X\t" + input_digest(np, X) + "\nY\t" + input_digest(np, Y) + "\n" + options_fingerprint(options, option_keys);
}

std::string options_fingerprint(const py::dict& options, const py::list& option_keys) {
  py::module_ np = py::module_::import("numpy");
  std::string fp;
  // Keys and values are held while their digests are taken.
  const py::tuple keys(option_keys);
  for (size_t i = 0; i < keys.size(); ++i) {
    const py::object key = keys[i];
    const std::string name = key.cast<std::string>();
    const py::object value = options[key];
    fp += "options['" + name + "']\t" + value_digest(np, value) + "\n";
  }
  return fp;
}

// The first field whose digest differs, or "" when none does.
std::string first_difference(const std::string& a, const std::string& b) {
  std::istringstream sa(a), sb(b);
  std::string la, lb;
  while (true) {
    const bool more_a = static_cast<bool>(std::getline(sa, la)), more_b = static_cast<bool>(std::getline(sb, lb));
    if (!more_a && !more_b) return "";
    if (la != lb) {
      const std::string& line = more_a ? la : lb;
      return line.substr(0, line.find('\t'));
    }
  }
}

namespace {

// ---- The handshake -------------------------------------------------------

constexpr double kHandshakeLimitSeconds = 60.0;
// Added to the arrival counter by a rank that stops waiting: later arrivals
// then read a value above any world size and know the call was abandoned.
constexpr int64_t kClosed = int64_t(1) << 40;
enum Decision : int64_t { UNDECIDED = 0, EVERYONE_CALLED = 1, ABANDONED = 2 };

int64_t store_add(const py::object& store, const std::string& key, int64_t amount) {
  return store.attr("add")(key, amount).cast<int64_t>();
}

// Refuses at once, on every rank, once a rank stopped waiting in the middle
// of an exchange: that exchange can never be completed on the group.
void check_group_usable(const py::object& store) {
  if (store_add(store, unusable_key(), 0) != 0)
    raise_group_unusable(store.attr("get")(unusable_by_key()).cast<std::string>());
}

// Sleeps a little with the GIL released; Ctrl-C raises KeyboardInterrupt.
void pause_briefly(const py::object& store, int round) {
  {
    py::gil_scoped_release nogil;
    std::this_thread::sleep_for(std::chrono::milliseconds(round < 20 ? 2 : 20));
  }
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  check_group_usable(store);
}

[[noreturn]] void raise_not_everyone_called(const py::object& store, const std::string& prefix, int world,
                                            double waited) {
  std::string missing;
  for (int r = 0; r < world; ++r) {
    if (store_add(store, prefix + "rank/" + std::to_string(r), 0) != 0) continue;
    missing += (missing.empty() ? "" : ", ") + std::to_string(r);
  }
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%g", waited);
  std::string who = missing.empty() ? "其余进程在本进程调用之前已停止等待"
                                    : "进程 {" + missing + "} 未在 " + seconds + " 秒内调用 HybridSeqTrain";
  throw std::runtime_error("torch.distributed 进程组共有 " + std::to_string(world) + " 个进程，" + who +
                           "。数据并行训练须在每个进程上以相同的 X、Y 和 options 调用；"
                           "只在本进程单独训练时，请在 options 中设置 \"dataParallel\": False。");
}

// Every rank posts its fingerprint and arrives; the last to arrive decides
// that everyone called, or the first to stop waiting decides that the call
// is abandoned: one decision, read by all, so no rank goes on to training
// while another has given up. Returns every rank's fingerprint and sets
// `prefix` to this call's keys.
std::vector<std::string> handshake(const py::object& store, int rank, int world, double limit,
                                   const std::string& mine, std::string& prefix) {
  check_group_usable(store);
  // Each call of the group has its own keys; the generation advances once a
  // call is decided, so the next call of every rank meets in fresh keys.
  const std::string generation_key = key_root() + "generation";
  const int64_t generation = store_add(store, generation_key, 0);
  prefix = key_root() + std::to_string(generation) + "/";
  store.attr("set")(prefix + "fp/" + std::to_string(rank), py::bytes(mine));
  store_add(store, prefix + "rank/" + std::to_string(rank), 1);
  const int64_t arrived = store_add(store, prefix + "arrived", 1);
  const auto start = std::chrono::steady_clock::now();
  auto waited = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
  if (arrived == world) {
    store_add(store, generation_key, 1);
    store_add(store, prefix + "decision", EVERYONE_CALLED);
  } else if (arrived < world) {
    for (int round = 0; store_add(store, prefix + "decision", 0) == UNDECIDED; ++round) {
      if (waited() < limit) {
        pause_briefly(store, round);
        continue;
      }
      const int64_t closed = store_add(store, prefix + "arrived", kClosed);
      if (closed < 2 * kClosed && closed - kClosed < world) {  // the first to stop waiting
        store_add(store, generation_key, 1);
        store_add(store, prefix + "decision", ABANDONED);
      }
      break;
    }
  }
  // Late arrivals and the ranks that stopped waiting read the decision that
  // was (or is just being) made; a decider that died in between leaves them
  // waiting one more limit at most.
  int64_t decision;
  const double give_up = waited() + limit;
  for (int round = 0; (decision = store_add(store, prefix + "decision", 0)) == UNDECIDED && waited() < give_up; ++round)
    pause_briefly(store, round);
  if (decision != EVERYONE_CALLED) raise_not_everyone_called(store, prefix, world, limit);

  std::vector<std::string> all;
  for (int r = 0; r < world; ++r) all.push_back(store.attr("get")(prefix + "fp/" + std::to_string(r)).cast<std::string>());
  return all;
}

}  // namespace

DataParallelMode data_parallel_mode(const py::dict& options) {
  if (!options.contains("dataParallel")) return DataParallelMode::WHOLE;
  py::object value = options["dataParallel"];
  if (PyUnicode_Check(value.ptr())) {
    if (value.cast<std::string>() == "sharded") return DataParallelMode::SHARDED;
    raise_value_error("options[\"dataParallel\"] 只能是 True、False 或 \"sharded\"，收到 " +
                      py::repr(value).cast<std::string>());
  }
  return python_bool(value) ? DataParallelMode::WHOLE : DataParallelMode::OFF;
}

std::shared_ptr<Collective> join_data_parallel(const py::dict& options, const py::list& option_keys, py::handle X,
                                               py::handle Y) {
  const DataParallelMode mode = data_parallel_mode(options);
  if (mode == DataParallelMode::OFF) return nullptr;
  py::module_ dist = py::module_::import("torch.distributed");
  if (!python_bool(dist.attr("is_available")()) || !python_bool(dist.attr("is_initialized")())) return nullptr;
  const int world = dist.attr("get_world_size")().cast<int>();
  if (world <= 1) return nullptr;
  const int rank = dist.attr("get_rank")().cast<int>();
  py::object c10d_py = dist.attr("distributed_c10d");

  // A bounded handshake first: a call made on some ranks only ends within
  // the limit (or the group's own timeout, if shorter) instead of blocking
  // in the first collective until the group gives up.
  py::object store = c10d_py.attr("_get_default_store")();
  double limit = kHandshakeLimitSeconds;
  if (py::hasattr(store, "timeout"))
    limit = std::min(limit, store.attr("timeout").attr("total_seconds")().cast<double>());
  // Sharded: every rank passes rows of its own, so only the options are
  // compared here (the samples' shape and the labels' kind once they are read).
  const std::string mine =
      mode == DataParallelMode::SHARDED
          ? "options['dataParallel']\tsharded\n" + options_fingerprint(options, option_keys)
          : "options['dataParallel']\twhole\n" + data_fingerprint(options, option_keys, X, Y);
  std::string prefix;
  const std::vector<std::string> prints = handshake(store, rank, world, limit, mine, prefix);

  // Every rank compares every fingerprint with rank 0's, so all of them
  // refuse alike, naming the same field and ranks.
  for (int r = 1; r < world; ++r) {
    const std::string field = first_difference(prints[0], prints[r]);
    if (field.empty()) continue;
    if (mode == DataParallelMode::SHARDED)
      raise_value_error(field + " 在进程 0 与进程 " + std::to_string(r) +
                        " 之间不同：分片数据并行训练时每个进程都须传入相同的 options"
                        "（单独训练请设置 options[\"dataParallel\"] = False）");
    raise_value_error(field + " 在进程 0 与进程 " + std::to_string(r) +
                      " 之间不同：数据并行训练时每个进程都须传入完整且相同的 X、Y 和 options"
                      "（单独训练请设置 options[\"dataParallel\"] = False）");
  }

  py::object group = c10d_py.attr("_get_default_group")();
  // NCCL moves tensors of the current CUDA device only.
  const std::string backend = py::str(dist.attr("get_backend")()).cast<std::string>();
  at::Device device = at::kCPU;
  if (backend == "nccl")
    device = at::Device(at::kCUDA, static_cast<c10::DeviceIndex>(
                                       py::module_::import("torch").attr("cuda").attr("current_device")().cast<int>()));
  // Waits are taken a slice at a time where the backend's own wait takes a
  // time limit and leaves the operation running when it passes: gloo.
  const bool sliced = device.is_cpu() && backend.find("gloo") != std::string::npos;
  // The Python objects hold a reference; the collective takes its own.
  auto* raw_group = group.cast<c10d::ProcessGroup*>();
  auto* raw_store = store.cast<c10d::Store*>();
  return std::make_shared<ProcessGroupCollective>(c10::intrusive_ptr<c10d::ProcessGroup>::reclaim_copy(raw_group),
                                                  c10::intrusive_ptr<c10d::Store>::reclaim_copy(raw_store), prefix,
                                                  device, sliced);
}

}  // namespace hst
