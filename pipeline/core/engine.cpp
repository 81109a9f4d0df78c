#include "core/engine.h"

#include <ATen/core/grad_mode.h>
#include <torch/csrc/autograd/autograd.h>

#include <cmath>
#include <limits>

#include "runtime/host_allocator.h"
#include "core/optimizer.h"
#include "runtime/torch_compat.h"

namespace hst {

namespace {

// Gathers rows of a host tensor for one batch and puts them on the device.
// On CUDA the rows land in a pinned staging buffer first and are copied
// asynchronously; the caching host allocator keeps the buffer alive until the
// copy has finished.
at::Tensor gather_batch(const at::Tensor& host, const at::Tensor& rows, const at::Device& device) {
  if (device.is_cpu()) return host.index_select(0, rows);
  std::vector<int64_t> shape(host.sizes().begin(), host.sizes().end());
  shape[0] = rows.size(0);
  at::Tensor staging = at::empty(shape, host.options().pinned_memory(true));
  at::index_select_out(staging, host, 0, rows);
  return compat::to_device_async(staging, device);
}

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

  void add(const at::Tensor& loss, const at::Tensor& logits, const at::Tensor& target) {
    const int64_t b = target.size(0);
    at::NoGradGuard no_grad;
    at::Tensor hits = logits.argmax(1).eq(target).sum();
    if (on_host) {
      loss_sum += loss.item<double>() * static_cast<double>(b);
      correct += hits.item<int64_t>();
    } else {
      loss_dev.add_(loss.detach().to(at::kDouble) * static_cast<double>(b));
      correct_dev.add_(hits);
    }
    count += b;
  }

  void finish() {
    if (!on_host) {
      loss_sum = loss_dev.item<double>();
      correct = correct_dev.item<int64_t>();
    }
  }

  double mean_loss() const { return loss_sum / static_cast<double>(std::max<int64_t>(count, 1)); }
  double accuracy() const { return static_cast<double>(correct) / static_cast<double>(std::max<int64_t>(count, 1)); }
};

}  // namespace

EngineResult train_network(NetParams& net, const at::Tensor& x, const at::Tensor& y, const at::Tensor& train_idx,
                           const at::Tensor& val_idx, const EngineConfig& cfg, const EngineHooks& hooks) {
  HostAllocatorScope cached_allocations;
  EngineResult result;
  result.best_val_loss = std::numeric_limits<double>::infinity();
  const std::vector<at::Tensor> params = net.parameters();
  const std::vector<at::Tensor> state = net.state();
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

  for (int64_t epoch = 1; epoch <= cfg.max_epochs; ++epoch) {
    // Training pass: a fresh order of the training rows every epoch.
    net.set_training(true);
    PassTotals train(cfg.device);
    at::Tensor order = train_idx.index_select(0, at::randperm(n_train, at::TensorOptions().dtype(at::kLong)));
    for (int64_t start = 0; start < n_train; start += bs) {
      at::Tensor rows = order.slice(0, start, std::min(start + bs, n_train));
      at::Tensor bx = gather_batch(x, rows, cfg.device);
      at::Tensor by = gather_batch(y, rows, cfg.device);
      optimizer->zero_grad();
      at::Tensor logits = network_forward(net, bx);
      at::Tensor loss = batch_loss(logits, by, cfg.class_weights);
      torch::autograd::backward({loss});
      optimizer->clip_and_step(/*max_norm=*/5.0, lr);
      train.add(loss.detach(), logits.detach(), by);
      if (hooks.check_interrupt) hooks.check_interrupt();
    }
    train.finish();

    // Validation pass, rows in index order.
    net.set_training(false);
    PassTotals val(cfg.device);
    {
      at::NoGradGuard no_grad;
      for (int64_t start = 0; start < n_val; start += bs) {
        at::Tensor rows = val_idx.slice(0, start, std::min(start + bs, n_val));
        at::Tensor bx = gather_batch(x, rows, cfg.device);
        at::Tensor by = gather_batch(y, rows, cfg.device);
        at::Tensor logits = network_forward(net, bx);
        val.add(batch_loss(logits, by, cfg.class_weights), logits, by);
        if (hooks.check_interrupt) hooks.check_interrupt();
      }
    }
    val.finish();

    EpochStats stats{train.mean_loss(), val.mean_loss(), train.accuracy(), val.accuracy()};
    result.history.push_back(stats);
    if (stats.val_loss < result.best_val_loss - 1e-6) {
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
    if (hooks.on_epoch) hooks.on_epoch(epoch, stats);
    if (cfg.patience > 0 && patience_count >= cfg.patience) {
      if (hooks.on_early_stop) hooks.on_early_stop(cfg.patience);
      break;
    }
  }

  {
    at::NoGradGuard no_grad;
    for (size_t i = 0; i < state.size(); ++i) state[i].copy_(best_state[i]);
  }
  net.set_training(false);
  return result;
}

std::pair<at::Tensor, at::Tensor> predict_rows(const NetParams& net, const at::Tensor& x, const at::Tensor& idx,
                                               int64_t batch_size, const at::Device& device,
                                               const EngineHooks& hooks) {
  at::NoGradGuard no_grad;
  HostAllocatorScope cached_allocations;
  const int64_t m = idx.size(0);
  const int64_t bs = std::max<int64_t>(batch_size, 1);
  std::vector<at::Tensor> codes, probs;
  for (int64_t start = 0; start < m; start += bs) {
    at::Tensor rows = idx.slice(0, start, std::min(start + bs, m));
    at::Tensor logits = network_forward(net, gather_batch(x, rows, device));
    at::Tensor p = at::softmax(logits, 1);
    probs.push_back(p);
    codes.push_back(p.argmax(1));
    if (hooks.check_interrupt) hooks.check_interrupt();
  }
  if (codes.empty()) {
    const int64_t k = net.fc_weight.size(0);
    return {at::empty({0}, at::kLong), at::empty({0, k}, at::kFloat)};
  }
  return {at::cat(codes).to(at::kCPU).contiguous(), at::cat(probs).to(at::kCPU).to(at::kFloat).contiguous()};
}

}  // namespace hst
