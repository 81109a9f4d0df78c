// Data-parallel runs: finds the process group of torch.distributed the
// caller initialised, makes sure every rank of it called with the same data
// and options (a bounded handshake over the group's store), and drives the
// group from the native loop through c10d's C++ API (gloo, NCCL or whatever
// backend the group was created with).
#include <torch/csrc/distributed/c10d/ProcessGroup.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include "binding/stages.h"
#include "core/checksum.h"

namespace hst {

namespace {

class ProcessGroupCollective final : public Collective {
 public:
  ProcessGroupCollective(c10::intrusive_ptr<c10d::ProcessGroup> group, at::Device device)
      : group_(std::move(group)), rank_(group_->getRank()), world_(group_->getSize()), device_(device) {}

  int rank() const override { return rank_; }
  int world_size() const override { return world_; }

  void allreduce_sum(const std::vector<at::Tensor>& tensors) override {
    // Every bucket is issued before the first wait, so the backend may
    // overlap them.
    std::vector<c10::intrusive_ptr<c10d::Work>> pending;
    for (const at::Tensor& t : tensors) {
      std::vector<at::Tensor> one{t};
      c10d::AllreduceOptions opts;
      opts.reduceOp = c10d::ReduceOp::SUM;
      pending.push_back(group_->allreduce(one, opts));
    }
    for (auto& work : pending) work->wait();
  }

  void broadcast(const at::Tensor& tensor, int root) override {
    // A backend that only moves tensors of its own device (NCCL) gets a
    // copy there; the result is written back in place.
    const bool moved = tensor.device() != device_ || !tensor.is_contiguous();
    at::Tensor wire = moved ? tensor.to(device_).contiguous() : tensor;
    std::vector<at::Tensor> one{wire};
    c10d::BroadcastOptions opts;
    opts.rootRank = root;
    opts.rootTensor = 0;
    group_->broadcast(one, opts)->wait();
    if (moved) tensor.copy_(wire);
  }

 private:
  c10::intrusive_ptr<c10d::ProcessGroup> group_;
  int rank_, world_;
  at::Device device_;
};

// ---- What a rank was given ---------------------------------------------

std::string hex64(uint64_t v) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
  return buf;
}

std::string text_digest(const std::string& text) { return hex64(checksum_bytes(text.data(), text.size())); }

// dtype, shape and a checksum of the elements of an array. Object arrays
// (texts or Python numbers held as objects) are read through their values'
// repr, which is what decides their meaning.
std::string array_digest(const py::module_& np, py::handle value) {
  py::array a = py::reinterpret_borrow<py::array>(value);
  std::string shape = text_of(a.attr("shape"));
  if (a.attr("dtype").attr("kind").cast<std::string>() == "O")
    return "object" + shape + ":" + text_digest(py::repr(a.attr("tolist")()).cast<std::string>());
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

std::string value_digest(const py::module_& np, py::handle value) {
  if (py::isinstance(value, np.attr("ndarray"))) return array_digest(np, value);
  return std::string(Py_TYPE(value.ptr())->tp_name) + ":" + text_digest(py::repr(value).cast<std::string>());
}

// X and Y as the pipeline will read them: one array, or per-sample arrays
// of unequal length each by itself. One that NumPy cannot read is recorded
// by its error, which the pipeline raises again later on every rank.
std::string input_digest(const py::module_& np, py::handle value) {
  try {
    py::object samples = ragged_samples(value);
    if (!samples.is_none()) {
      std::string all = "samples" + std::to_string(py::len(samples)) + ":";
      for (py::handle a : samples) all += array_digest(np, a) + ";";
      return "ragged:" + text_digest(all);
    }
    return array_digest(np, np.attr("asarray")(value));
  } catch (py::error_already_set& e) {
    return std::string("unreadable:") + e.what();
  }
}

}  // namespace

// One line per field, "name\tdigest", in a fixed order.
std::string data_fingerprint(const py::dict& options, const py::list& option_keys, py::handle X, py::handle Y) {
  py::module_ np = py::module_::import("numpy");
  std::string fp = "X\t" + input_digest(np, X) + "\nY\t" + input_digest(np, Y) + "\n";
  for (py::handle key : option_keys) {
    const std::string name = key.cast<std::string>();
    fp += "options['" + name + "']\t" + value_digest(np, options[key]) + "\n";
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

// Sleeps a little with the GIL released; Ctrl-C raises KeyboardInterrupt.
void pause_briefly(int round) {
  {
    py::gil_scoped_release nogil;
    std::this_thread::sleep_for(std::chrono::milliseconds(round < 20 ? 2 : 20));
  }
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
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
// while another has given up. Returns every rank's fingerprint.
std::vector<std::string> handshake(const py::object& store, int rank, int world, double limit,
                                   const std::string& mine) {
  // Each call of the group has its own keys; the generation advances once a
  // call is decided, so the next call of every rank meets in fresh keys.
  const int64_t generation = store_add(store, "hst/generation", 0);
  const std::string prefix = "hst/" + std::to_string(generation) + "/";
  store.attr("set")(prefix + "fp/" + std::to_string(rank), py::bytes(mine));
  store_add(store, prefix + "rank/" + std::to_string(rank), 1);
  const int64_t arrived = store_add(store, prefix + "arrived", 1);
  const auto start = std::chrono::steady_clock::now();
  auto waited = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
  if (arrived == world) {
    store_add(store, "hst/generation", 1);
    store_add(store, prefix + "decision", EVERYONE_CALLED);
  } else if (arrived < world) {
    for (int round = 0; store_add(store, prefix + "decision", 0) == UNDECIDED; ++round) {
      if (waited() < limit) {
        pause_briefly(round);
        continue;
      }
      const int64_t closed = store_add(store, prefix + "arrived", kClosed);
      if (closed < 2 * kClosed && closed - kClosed < world) {  // the first to stop waiting
        store_add(store, "hst/generation", 1);
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
    pause_briefly(round);
  if (decision != EVERYONE_CALLED) raise_not_everyone_called(store, prefix, world, limit);

  std::vector<std::string> all;
  for (int r = 0; r < world; ++r) all.push_back(store.attr("get")(prefix + "fp/" + std::to_string(r)).cast<std::string>());
  return all;
}

}  // namespace

bool data_parallel_requested(const py::dict& options) {
  return !options.contains("dataParallel") || python_bool(options["dataParallel"]);
}

std::shared_ptr<Collective> join_data_parallel(const py::dict& options, const py::list& option_keys, py::handle X,
                                               py::handle Y) {
  if (!data_parallel_requested(options)) return nullptr;
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
  const std::vector<std::string> prints = handshake(store, rank, world, limit, data_fingerprint(options, option_keys, X, Y));

  // Every rank compares every fingerprint with rank 0's, so all of them
  // refuse alike, naming the same field and ranks.
  for (int r = 1; r < world; ++r) {
    const std::string field = first_difference(prints[0], prints[r]);
    if (field.empty()) continue;
    raise_value_error(field + " 在进程 0 与进程 " + std::to_string(r) +
                      " 之间不同：数据并行训练时每个进程都须传入完整且相同的 X、Y 和 options"
                      "（单独训练请设置 options[\"dataParallel\"] = False）");
  }

  py::object group = c10d_py.attr("_get_default_group")();
  // NCCL moves tensors of the current CUDA device only.
  at::Device device = at::kCPU;
  if (py::str(dist.attr("get_backend")()).cast<std::string>() == "nccl")
    device = at::Device(at::kCUDA, static_cast<c10::DeviceIndex>(
                                       py::module_::import("torch").attr("cuda").attr("current_device")().cast<int>()));
  // The Python object holds a reference; the collective takes its own.
  auto* raw = group.cast<c10d::ProcessGroup*>();
  return std::make_shared<ProcessGroupCollective>(c10::intrusive_ptr<c10d::ProcessGroup>::reclaim_copy(raw), device);
}

}  // namespace hst
