#include "core/engine.h"

#include <ATen/CPUGeneratorImpl.h>
#include <ATen/core/grad_mode.h>
#include <torch/csrc/autograd/autograd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "core/optimizer.h"
#include "kernels/train_step.h"
#include "runtime/host_allocator.h"

namespace hst {

namespace {

// Gradients are rescaled to this joint L2 norm at most before every step.
constexpr double kClipNorm = 5.0;
// A validation loss counts as better only when it beats the best by more than this.
constexpr double kMinImprovement = 1e-6;

// Gathers rows of a host tensor for one batch and puts them on the device.
// On CUDA the rows land in a pinned staging buffer first and are copied
// asynchronously; the caching host allocator keeps the buffer alive until the
// copy has finished.
at::Tensor gather_batch(const at::Tensor& host, const at::Tensor& rows, const at::Device& device) {
  if (device.is_cpu()) {
    // whole rows of a contiguous tensor: one memcpy each
    if (!host.is_contiguous() || rows.scalar_type() != at::kLong || !rows.is_contiguous() || host.dim() < 1)
      return host.index_select(0, rows);
    std::vector<int64_t> shape(host.sizes().begin(), host.sizes().end());
    const int64_t n = host.size(0), m = rows.numel();
    shape[0] = m;
    at::Tensor out = at::empty(shape, host.options());
    const size_t row_bytes = static_cast<size_t>(host.numel() / std::max<int64_t>(n, 1)) * host.element_size();
    const char* src = static_cast<const char*>(host.data_ptr());
    char* dst = static_cast<char*>(out.data_ptr());
    const int64_t* r = rows.data_ptr<int64_t>();
    for (int64_t i = 0; i < m; ++i) {
      TORCH_CHECK(r[i] >= 0 && r[i] < n, "gather_batch: row ", r[i], " out of range for ", n, " rows");
      std::memcpy(dst + i * row_bytes, src + r[i] * row_bytes, row_bytes);
    }
    return out;
  }
  std::vector<int64_t> shape(host.sizes().begin(), host.sizes().end());
  shape[0] = rows.size(0);
  at::Tensor staging = at::empty(shape, host.options().pinned_memory(true));
  at::index_select_out(staging, host, 0, rows);
  return staging.to(device, /*non_blocking=*/true);
}

// The positions of `rows` in order of their lengths: evaluated in that
// order, each batch holds rows of similar length and is cut short (a
// sample's result does not depend on the others in its batch). Undefined
// without lengths.
at::Tensor length_order(const at::Tensor& rows, const at::Tensor& lengths) {
  if (!lengths.defined() || rows.numel() < 2) return at::Tensor();
  return std::get<1>(at::sort(lengths.index_select(0, rows), /*stable=*/true, /*dim=*/0, /*descending=*/false));
}

// Runs step(batch, rows) over `rows` in consecutive batches of at most `bs`
// rows, each gathered on the device (gather_rows), and checks for Ctrl-C
// after every batch.
template <typename Step>
void for_each_batch(const at::Tensor& rows, int64_t bs, const at::Tensor& x, const at::Tensor& lengths,
                    const at::Device& device, const EngineHooks& hooks, Step&& step) {
  const int64_t n = rows.size(0);
  for (int64_t start = 0; start < n; start += bs) {
    const at::Tensor part = rows.slice(0, start, std::min(start + bs, n));
    step(gather_rows(x, lengths, part, device), part);
    if (hooks.check_interrupt) hooks.check_interrupt();
  }
}

}  // namespace

Batch gather_rows(const at::Tensor& x, const at::Tensor& lengths, const at::Tensor& rows, const at::Device& device) {
  if (!lengths.defined()) return {gather_batch(x, rows, device), at::Tensor()};
  const at::Tensor own = lengths.index_select(0, rows);
  if (own.numel() == 0) return {gather_batch(x, rows, device), at::Tensor()};
  const int64_t longest = own.max().item<int64_t>();
  at::Tensor bx = gather_batch(x, rows, device).narrow(2, 0, longest);
  if (own.min().item<int64_t>() == longest) return {bx, at::Tensor()};
  return {bx, own};
}

namespace {

at::Tensor batch_loss(const at::Tensor& logits, const at::Tensor& target, const at::Tensor& weights) {
  return at::cross_entropy_loss(logits, target, weights, at::Reduction::Mean, -100, 0.0);
}

// Sums of one pass: on the CPU plain doubles; on a GPU device tensors read
// once at the end of the pass.
struct PassTotals {
  bool on_host;
  double loss_sum = 0;
  int64_t correct = 0;
  int64_t count = 0;
  at::Tensor loss_dev, correct_dev;

  explicit PassTotals(const at::Device& device) : on_host(device.is_cpu()) {
    if (!on_host) {
      loss_dev = at::zeros({}, at::TensorOptions().dtype(at::kDouble).device(device));
      correct_dev = at::zeros({}, at::TensorOptions().dtype(at::kLong).device(device));
    }
  }

  // `loss`: the mean over the batch's rows; with `loss_rows`, a part of the
  // mean over a batch of that many rows (each rank's share of a global batch).
  void add(const at::Tensor& loss, const at::Tensor& logits, const at::Tensor& target, int64_t loss_rows = -1) {
    const int64_t b = target.size(0);
    const double rows = static_cast<double>(loss_rows < 0 ? b : loss_rows);
    at::NoGradGuard no_grad;
    if (on_host) {
      loss_sum += loss.item<double>() * rows;
      correct += host_hits(logits, target);
    } else {
      at::Tensor hits = logits.argmax(1).eq(target).sum();
      loss_dev.add_(loss.detach().to(at::kDouble) * rows);
      correct_dev.add_(hits);
    }
    count += b;
  }

  // Rows whose largest logit (the first of equal ones, as argmax) is the target.
  static int64_t host_hits(const at::Tensor& logits, const at::Tensor& target) {
    if (logits.scalar_type() != at::kFloat || target.scalar_type() != at::kLong || logits.dim() != 2)
      return logits.argmax(1).eq(target).sum().item<int64_t>();
    const at::Tensor l = logits.contiguous(), t = target.contiguous();
    return kernels::argmax_hits(l.data_ptr<float>(), l.size(0), l.size(1), t.data_ptr<int64_t>());
  }

  // A batch whose loss and hits were counted on the host already.
  void add(const kernels::LossResult& r, int64_t b, int64_t loss_rows = -1) {
    loss_sum += r.loss * static_cast<double>(loss_rows < 0 ? b : loss_rows);
    correct += r.hits;
    count += b;
  }

  void finish() {
    if (!on_host) {
      loss_sum = loss_dev.item<double>();
      correct = correct_dev.item<int64_t>();
    }
  }

  // Sums of all ranks' passes, the same on every rank.
  void sum_over_ranks(Collective& group, const at::Device& device) {
    at::Tensor v = at::tensor({loss_sum, static_cast<double>(correct), static_cast<double>(count)}, at::kDouble);
    at::Tensor on_device = v.to(device);
    group.allreduce_sum({on_device});
    v = on_device.to(at::kCPU);
    const double* a = v.data_ptr<double>();
    loss_sum = a[0];
    correct = static_cast<int64_t>(a[1]);
    count = static_cast<int64_t>(a[2]);
  }

  double mean_loss() const { return loss_sum / static_cast<double>(std::max<int64_t>(count, 1)); }
  double accuracy() const { return static_cast<double>(correct) / static_cast<double>(std::max<int64_t>(count, 1)); }
};

// Gradients travel in buckets of at most this many elements (16 MiB of
// float32), all issued before the first wait.
constexpr int64_t kBucketElements = int64_t(1) << 22;

// One tensor viewing all of `tensors` when they lie back to back in one
// buffer; undefined otherwise.
at::Tensor flat_view(const std::vector<at::Tensor>& tensors) {
  if (tensors.empty() || !tensors[0].defined()) return at::Tensor();
  const at::Tensor& first = tensors[0];
  const auto* base = static_cast<const char*>(first.data_ptr());
  int64_t total = 0;
  for (const at::Tensor& g : tensors) {
    if (!g.defined() || !g.is_contiguous() || g.scalar_type() != first.scalar_type() ||
        g.device() != first.device() || !g.storage().is_alias_of(first.storage()) ||
        static_cast<const char*>(g.data_ptr()) != base + total * first.element_size())
      return at::Tensor();
    total += g.numel();
  }
  return first.as_strided({total}, {1});
}

// Replaces every tensor by its element-wise mean (or sum) over the ranks.
// The tensors travel as one flat buffer: the tensors themselves when they lie
// back to back in one (the fused optimiser's gradients), else a packed copy
// that is unpacked afterwards; in buckets, all issued before the first wait.
void average_over_ranks(const std::vector<at::Tensor>& tensors, Collective& group, bool mean = true) {
  at::NoGradGuard no_grad;
  at::Tensor flat = flat_view(tensors);
  const bool packed = !flat.defined();
  if (packed) {
    std::vector<at::Tensor> parts;
    for (const at::Tensor& t : tensors) parts.push_back(t.reshape(-1));
    flat = at::cat(parts);
  }
  std::vector<at::Tensor> buckets;
  const int64_t n = flat.numel();
  for (int64_t off = 0; off < n; off += kBucketElements)
    buckets.push_back(flat.narrow(0, off, std::min(kBucketElements, n - off)));
  group.allreduce_sum(buckets);
  if (mean) flat.div_(group.world_size());
  if (packed) {
    int64_t off = 0;
    for (const at::Tensor& t : tensors) {
      t.copy_(flat.narrow(0, off, t.numel()).view(t.sizes()));
      off += t.numel();
    }
  }
}

// Replaces every gradient by its mean (or sum) over the ranks. A parameter
// without a gradient takes part with zeros (and keeps no gradient).
void average_gradients(const std::vector<at::Tensor>& params, Collective& group, bool mean = true) {
  std::vector<at::Tensor> grads;
  for (const at::Tensor& p : params)
    grads.push_back(p.grad().defined() ? p.grad() : at::zeros(p.sizes(), p.options()));
  average_over_ranks(grads, group, mean);
}

// ---- Sharded runs: global batches, each rank computing the rows it holds

// The weighted loss summed over a part of a batch; divided by the whole
// batch's weight it is that part's share of the batch's weighted mean.
at::Tensor summed_loss(const at::Tensor& logits, const at::Tensor& target, const at::Tensor& weights) {
  return at::cross_entropy_loss(logits, target, weights, at::Reduction::Sum, -100, 0.0);
}

// Runs step(batch or null, labels, whole batch's weight, whole batch's rows)
// over `order` (global rows) in consecutive global batches of at most `bs`
// rows; `batch` holds this rank's rows of each (null when it holds none).
// `weights_host`: the class weights on the host (undefined: every row 1).
template <typename Step>
void for_each_shard_batch(const at::Tensor& order, int64_t bs, const Shard& shard, const at::Tensor& x,
                          const at::Tensor& y, const at::Tensor& lengths, const at::Tensor& weights_host,
                          const at::Device& device, const EngineHooks& hooks, Step&& step) {
  const at::Tensor local_lengths = lengths.defined() ? lengths.slice(0, shard.begin, shard.end) : at::Tensor();
  const int64_t n = order.size(0);
  for (int64_t start = 0; start < n; start += bs) {
    const at::Tensor batch = order.slice(0, start, std::min(start + bs, n));
    const at::Tensor mine = batch.masked_select(batch.ge(shard.begin).logical_and(batch.lt(shard.end)));
    const double weight = weights_host.defined()
                              ? weights_host.index_select(0, y.index_select(0, batch)).sum().item<double>()
                              : static_cast<double>(batch.size(0));
    if (mine.numel() > 0) {
      const Batch bx = gather_rows(x, local_lengths, mine - shard.begin, device);
      step(&bx, y.index_select(0, mine).to(device), weight, batch.size(0));
    } else {
      step(static_cast<const Batch*>(nullptr), at::Tensor(), weight, batch.size(0));
    }
    if (hooks.check_interrupt) hooks.check_interrupt();
  }
}

// BatchNorm's running statistics are gathered from each rank's own batches;
// their mean over the ranks is what every rank validates and keeps.
void average_running_statistics(NetParams& net, Collective& group) {
  std::vector<at::Tensor> stats;
  for (CnnStep& step : net.cnn) {
    if (step.kind != CnnStep::BATCH_NORM) continue;
    for (at::Tensor* t : {&step.bn.running_mean, &step.bn.running_var})
      if (t->defined() && t->is_floating_point()) stats.push_back(*t);
  }
  if (!stats.empty()) average_over_ranks(stats, group);
}

// A training batch of which this rank holds no rows still counts in
// BatchNorm's batch counters, so that every rank's buffers stay the same.
void count_batch_without_rows(NetParams& net) {
  at::NoGradGuard no_grad;
  for (CnnStep& step : net.cnn)
    if (step.kind == CnnStep::BATCH_NORM && step.bn.training && step.bn.track_running_stats &&
        step.bn.num_batches_tracked.defined())
      step.bn.num_batches_tracked.add_(1);
}

// Every rank starts from rank 0's parameters and buffers, whatever its own
// generator drew for them.
void share_initial_state(const NetParams& net, Collective& group) {
  at::NoGradGuard no_grad;
  for (const at::Tensor& t : net.state()) group.broadcast(t, /*root=*/0);
}

// The same permutation of 0..n-1 on every rank: rank 0's.
at::Tensor shared_permutation(int64_t n, Collective& group, const at::Device& device, const at::Generator& gen) {
  at::Tensor perm = at::randperm(n, gen, at::TensorOptions().dtype(at::kLong));
  at::Tensor on_device = perm.to(device);
  group.broadcast(on_device, /*root=*/0);
  return on_device.to(at::kCPU);
}

// However train_network ends (a result, Ctrl-C, an error of a hook), the
// network leaves it in eval mode and every parameter owns its memory again:
// the fused optimiser packs them as views of one flat buffer while it runs.
class TrainingScope {
 public:
  explicit TrainingScope(NetParams& net) : net_(net) {}
  TrainingScope(const TrainingScope&) = delete;
  TrainingScope& operator=(const TrainingScope&) = delete;
  ~TrainingScope() {
    at::NoGradGuard no_grad;
    for (at::Tensor p : net_.parameters()) {
      at::Tensor own = p.detach().clone();
      p.set_(own);
      at::Tensor& g = p.mutable_grad();
      if (g.defined()) g = g.detach().clone();
    }
    net_.set_training(false);
    net_.dropout_generator = at::Generator();
    net_.rnn.generator = at::Generator();
  }

 private:
  NetParams& net_;
};

}  // namespace

namespace {

std::vector<at::Tensor> host_copies(const std::vector<at::Tensor>& tensors) {
  std::vector<at::Tensor> out;
  for (const at::Tensor& t : tensors) out.push_back(t.detach().to(at::kCPU, /*non_blocking=*/false, /*copy=*/true));
  return out;
}

// Copies `saved` into `into` (the same shapes and types), or throws.
void copy_into(const std::vector<at::Tensor>& into, const std::vector<at::Tensor>& saved) {
  if (saved.size() != into.size()) throw std::invalid_argument("the saved state does not fit the network");
  for (size_t i = 0; i < into.size(); ++i)
    if (!saved[i].defined() || saved[i].sizes() != into[i].sizes() || saved[i].scalar_type() != into[i].scalar_type())
      throw std::invalid_argument("the saved state does not fit the network");
  at::NoGradGuard no_grad;
  for (size_t i = 0; i < into.size(); ++i) into[i].copy_(saved[i]);
}

// Every rank's generator states, by rank: each rank in turn broadcasts its own.
std::vector<RandomState> all_random_states(const RandomStreams& streams, Collective* group) {
  TORCH_CHECK(streams.cpu.defined(), "checkpoints need the run's own generators");
  const RandomState mine = random_state(streams);
  if (!group) return {mine};
  std::vector<RandomState> out(group->world_size());
  for (int r = 0; r < group->world_size(); ++r) {
    for (auto part : {&RandomState::cpu, &RandomState::cuda}) {
      const at::Tensor& own = mine.*part;
      if (!own.defined()) continue;
      at::Tensor t = r == group->rank() ? own.clone() : at::empty_like(own);
      group->broadcast(t, r);
      out[r].*part = t;
    }
  }
  return out;
}

}  // namespace

EngineResult train_network(NetParams& net, const at::Tensor& x, const at::Tensor& y, const at::Tensor& train_idx,
                           const at::Tensor& val_idx, const EngineConfig& given, const EngineHooks& hooks,
                           const at::Tensor& lengths) {
  // Without a generator of the call's own, the draws come from the
  // process-wide CPU generator.
  EngineConfig cfg = given;
  if (!cfg.streams.cpu.defined()) cfg.streams.cpu = at::detail::getDefaultCPUGenerator();
  HostAllocatorScope cached_allocations;
  TrainingScope training_scope(net);
  net.dropout_generator = cfg.device.is_cuda() ? cfg.streams.cuda : cfg.streams.cpu;
  net.rnn.generator = cfg.streams.cpu;  // the native kernels run on the CPU
  EngineResult result;
  result.best_val_loss = std::numeric_limits<double>::infinity();
  const std::vector<at::Tensor> params = net.parameters();
  const std::vector<at::Tensor> state = net.state();
  if (cfg.collective && cfg.collective->world_size() > 1) share_initial_state(net, *cfg.collective);
  std::vector<at::Tensor> best_state;
  {
    at::NoGradGuard no_grad;
    for (const auto& t : state) best_state.push_back(t.detach().clone());
  }
  std::unique_ptr<Optimizer> optimizer = make_optimizer(params, cfg.solver);
  double lr = cfg.learn_rate;
  int64_t patience_count = 0;
  const int64_t n_train = train_idx.size(0);
  const int64_t n_val = val_idx.size(0);
  const int64_t bs = std::max<int64_t>(cfg.batch_size, 1);
  Collective* group = cfg.collective && cfg.collective->world_size() > 1 ? cfg.collective : nullptr;
  const bool sharded = group && cfg.shard.active;
  const at::Tensor weights_host = sharded && cfg.class_weights.defined() ? cfg.class_weights.to(at::kCPU) : at::Tensor();

  int64_t first_epoch = 1;
  bool finished = false;
  if (const TrainingState* saved = cfg.resume) {
    copy_into(state, saved->state);
    copy_into(best_state, saved->best_state);
    optimizer->load(saved->optimizer);
    const size_t ranks = group ? group->world_size() : 1;
    if (saved->random.size() != ranks) throw std::invalid_argument("the saved state is for another number of ranks");
    RandomStreams streams = cfg.streams;
    restore_random_state(streams, saved->random[group ? group->rank() : 0]);
    lr = saved->learn_rate;
    patience_count = saved->patience_count;
    result.history = saved->history;
    result.best_epoch = saved->best_epoch;
    result.best_val_loss = saved->best_val_loss;
    first_epoch = saved->epochs_done + 1;
    finished = saved->finished;
  }
  auto checkpoint = [&](int64_t epochs_done, bool done) {
    if (!hooks.on_checkpoint) return;
    TrainingState s;
    s.epochs_done = epochs_done;
    s.finished = done;
    s.learn_rate = lr;
    s.patience_count = patience_count;
    s.best_epoch = result.best_epoch;
    s.best_val_loss = result.best_val_loss;
    s.history = result.history;
    s.state = host_copies(state);
    s.best_state = host_copies(best_state);
    s.optimizer = optimizer->state();
    s.random = all_random_states(cfg.streams, group);
    hooks.on_checkpoint(s);
  };
  if (!cfg.resume) checkpoint(0, cfg.max_epochs <= 0);

  // A training batch on the hand-written kernels without an autograd graph,
  // where they run every stage; false leaves the batch to autograd.
  bool all_trained = true;
  for (const at::Tensor& p : params) all_trained = all_trained && p.requires_grad();
  kernels::LossResult step_result;
  auto native_step = [&](const Batch& bx, const at::Tensor& by, double denominator) {
    if (!all_trained || !cfg.device.is_cpu() || !at::GradMode::is_enabled()) return false;
    const std::optional<kernels::LossResult> r =
        kernels::native_training_step(step_network(net), bx.x, bx.lengths, by, cfg.class_weights, denominator);
    if (r) step_result = *r;
    return r.has_value();
  };

  for (int64_t epoch = first_epoch; !finished && epoch <= cfg.max_epochs; ++epoch) {
    // Training pass: a fresh order of the training rows every epoch.
    net.set_training(true);
    PassTotals train(cfg.device);
    at::Tensor order;
    if (sharded) {
      // The order one process would draw; every rank forms its batches.
      order = train_idx.index_select(0, shared_permutation(n_train, *group, cfg.device, cfg.streams.cpu));
    } else if (group) {
      // One permutation for all ranks; this rank trains on its share of it.
      order = rank_share(train_idx.index_select(0, shared_permutation(n_train, *group, cfg.device, cfg.streams.cpu)),
                         group->rank(), group->world_size());
    } else {
      order = train_idx.index_select(0, at::randperm(n_train, cfg.streams.cpu, at::TensorOptions().dtype(at::kLong)));
    }
    if (sharded) {
      for_each_shard_batch(order, bs, cfg.shard, x, y, lengths, weights_host, cfg.device, hooks,
                           [&](const Batch* bx, const at::Tensor& by, double weight, int64_t rows) {
                             optimizer->zero_grad();
                             if (bx && native_step(*bx, by, weight)) {
                               train.add(step_result, by.size(0), rows);
                             } else if (bx) {
                               at::Tensor logits = network_forward(net, bx->x, bx->lengths, Kernels::Native);
                               at::Tensor loss = summed_loss(logits, by, cfg.class_weights) / weight;
                               torch::autograd::backward({loss});
                               train.add(loss.detach(), logits.detach(), by, rows);
                             } else {
                               count_batch_without_rows(net);
                             }
                             average_gradients(params, *group, /*mean=*/false);
                             optimizer->clip_and_step(kClipNorm, lr);
                           });
    } else {
      for_each_batch(order, bs, x, lengths, cfg.device, hooks, [&](const Batch& bx, const at::Tensor& rows) {
        at::Tensor by = gather_batch(y, rows, cfg.device);
        optimizer->zero_grad();
        if (native_step(bx, by, -1)) {
          train.add(step_result, by.size(0));
        } else {
          at::Tensor logits = network_forward(net, bx.x, bx.lengths, Kernels::Native);
          at::Tensor loss = batch_loss(logits, by, cfg.class_weights);
          torch::autograd::backward({loss});
          train.add(loss.detach(), logits.detach(), by);
        }
        if (group) average_gradients(params, *group);
        optimizer->clip_and_step(kClipNorm, lr);
      });
    }
    train.finish();
    if (group) {
      train.sum_over_ranks(*group, cfg.device);
      average_running_statistics(net, *group);
    }

    // Validation pass, rows in index order; with several ranks each takes
    // every world-th row and the sums are taken over all of them.
    net.set_training(false);
    PassTotals val(cfg.device);
    at::Tensor val_rows =
        group && !sharded ? val_idx.slice(0, group->rank(), n_val, group->world_size()).contiguous() : val_idx;
    const at::Tensor val_order = length_order(val_rows, lengths);
    if (val_order.defined()) val_rows = val_rows.index_select(0, val_order);
    {
      at::NoGradGuard no_grad;
      if (sharded) {
        // The batches one process would form; each rank its rows of them.
        for_each_shard_batch(val_rows, bs, cfg.shard, x, y, lengths, weights_host, cfg.device, hooks,
                             [&](const Batch* bx, const at::Tensor& by, double weight, int64_t rows) {
                               if (!bx) return;
                               at::Tensor logits = network_forward(net, bx->x, bx->lengths, Kernels::Native);
                               val.add(summed_loss(logits, by, cfg.class_weights) / weight, logits, by, rows);
                             });
      } else {
        for_each_batch(val_rows, bs, x, lengths, cfg.device, hooks, [&](const Batch& bx, const at::Tensor& rows) {
          at::Tensor by = gather_batch(y, rows, cfg.device);
          at::Tensor logits = network_forward(net, bx.x, bx.lengths, Kernels::Native);
          val.add(batch_loss(logits, by, cfg.class_weights), logits, by);
        });
      }
    }
    val.finish();
    if (group) val.sum_over_ranks(*group, cfg.device);

    EpochStats stats{train.mean_loss(), val.mean_loss(), train.accuracy(), val.accuracy()};
    result.history.push_back(stats);
    if (stats.val_loss < result.best_val_loss - kMinImprovement) {
      result.best_val_loss = stats.val_loss;
      result.best_epoch = epoch;
      patience_count = 0;
      at::NoGradGuard no_grad;
      for (size_t i = 0; i < state.size(); ++i) best_state[i].copy_(state[i]);
    } else {
      ++patience_count;
    }
    // Step schedule: the rate drops after every drop_period epochs.
    if (cfg.piecewise && epoch % cfg.drop_period == 0) lr *= cfg.drop_factor;
    const bool stop = cfg.patience > 0 && patience_count >= cfg.patience;
    checkpoint(epoch, stop || epoch == cfg.max_epochs);
    if (hooks.on_epoch) hooks.on_epoch(epoch, stats);
    if (stop) {
      if (hooks.on_early_stop) hooks.on_early_stop(cfg.patience);
      break;
    }
  }

  {
    at::NoGradGuard no_grad;
    for (size_t i = 0; i < state.size(); ++i) state[i].copy_(best_state[i]);
  }
  return result;
}

namespace {

std::pair<at::Tensor, at::Tensor> predict_here(const NetParams& net, const at::Tensor& x, const at::Tensor& idx,
                                               int64_t batch_size, const at::Device& device,
                                               const EngineHooks& hooks, const at::Tensor& lengths) {
  at::NoGradGuard no_grad;
  HostAllocatorScope cached_allocations;
  const int64_t bs = std::max<int64_t>(batch_size, 1);
  const at::Tensor order = length_order(idx, lengths);
  const at::Tensor sorted = order.defined() ? idx.index_select(0, order) : idx;
  std::vector<at::Tensor> codes, probs;
  for_each_batch(sorted, bs, x, lengths, device, hooks, [&](const Batch& bx, const at::Tensor&) {
    at::Tensor logits = network_forward(net, bx.x, bx.lengths, Kernels::Native);
    at::Tensor p = at::softmax(logits, 1);
    probs.push_back(p);
    codes.push_back(p.argmax(1));
  });
  if (codes.empty()) {
    const int64_t k = net.fc_weight.size(0);
    return {at::empty({0}, at::kLong), at::empty({0, k}, at::kFloat)};
  }
  at::Tensor all_codes = at::cat(codes).to(at::kCPU), all_probs = at::cat(probs).to(at::kCPU).to(at::kFloat);
  if (order.defined()) {  // back into the order of idx
    all_codes = at::empty_like(all_codes).index_copy_(0, order, all_codes);
    all_probs = at::empty_like(all_probs).index_copy_(0, order, all_probs);
  }
  return {all_codes.contiguous(), all_probs.contiguous()};
}

}  // namespace

std::pair<at::Tensor, at::Tensor> predict_rows(const NetParams& net, const at::Tensor& x, const at::Tensor& idx,
                                               int64_t batch_size, const at::Device& device,
                                               const EngineHooks& hooks, Collective* collective,
                                               const at::Tensor& lengths, const Shard& shard) {
  if (!collective || collective->world_size() <= 1)
    return predict_here(net, x, idx, batch_size, device, hooks, lengths);
  const int64_t k = net.fc_weight.size(0);
  if (shard.active) {
    // Each rank predicts the rows it holds; they meet at their positions in
    // zero-filled buffers summed over the ranks.
    const at::Tensor positions = idx.ge(shard.begin).logical_and(idx.lt(shard.end)).nonzero().reshape(-1);
    const at::Tensor local_lengths = lengths.defined() ? lengths.slice(0, shard.begin, shard.end) : at::Tensor();
    auto part = predict_here(net, x, idx.index_select(0, positions) - shard.begin, batch_size, device, hooks,
                             local_lengths);
    at::Tensor codes = at::zeros({idx.size(0)}, at::kLong), probs = at::zeros({idx.size(0), k}, at::kFloat);
    codes.index_copy_(0, positions, part.first);
    probs.index_copy_(0, positions, part.second);
    collective->allreduce_sum({codes, probs});
    return {codes, probs};
  }
  // Rank r predicts the r-th of `world` consecutive parts; the parts meet in
  // zero-filled buffers summed over the ranks, so every rank returns all rows.
  const int64_t m = idx.size(0);
  const int64_t world = collective->world_size(), r = collective->rank();
  const int64_t lo = m * r / world, hi = m * (r + 1) / world;
  auto part = predict_here(net, x, idx.slice(0, lo, hi), batch_size, device, hooks, lengths);
  at::Tensor codes = at::zeros({m}, at::TensorOptions().dtype(at::kLong).device(device));
  at::Tensor probs = at::zeros({m, k}, at::TensorOptions().dtype(at::kFloat).device(device));
  codes.narrow(0, lo, hi - lo).copy_(part.first);
  probs.narrow(0, lo, hi - lo).copy_(part.second);
  collective->allreduce_sum({codes, probs});
  return {codes.to(at::kCPU).contiguous(), probs.to(at::kCPU).contiguous()};
}

at::Tensor rank_share(const at::Tensor& order, int rank, int world) {
  const int64_t n = order.size(0);
  if (n == 0) return order;
  const int64_t per_rank = (n + world - 1) / world;
  const int64_t total = per_rank * world;
  std::vector<at::Tensor> parts{order};
  for (int64_t missing = total - n; missing > 0; missing -= std::min(missing, n))
    parts.push_back(order.slice(0, 0, std::min(missing, n)));
  at::Tensor padded = parts.size() == 1 ? order : at::cat(parts);
  return padded.slice(0, rank, total, world).contiguous();
}

}  // namespace hst
