// The training and prediction engine: epoch loop, batching, loss, backward,
// clipping, optimiser steps, schedule, best-state tracking, batched
// prediction. Pure ATen/autograd; it runs with the GIL released and reaches
// Python only through the hooks.
#pragma once

#include <ATen/ATen.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "core/collective.h"
#include "core/network.h"
#include "core/optimizer.h"
#include "core/random_streams.h"

namespace hst {

enum class Solver { ADAM, SGDM, RMSPROP };

struct EpochStats {
  double train_loss = 0, val_loss = 0, train_accuracy = 0, val_accuracy = 0;
};

// The epoch loop's whole state after `epochs_done` completed epochs (0:
// before the first): what a run needs to go on bit for bit as if it had
// never stopped. Tensors on the CPU.
struct TrainingState {
  int64_t epochs_done = 0;
  bool finished = false;  // the loop has ended: all epochs run, or early stopping fired
  double learn_rate = 0;  // the schedule's current rate
  int64_t patience_count = 0;
  int64_t best_epoch = 0;
  double best_val_loss = 0;
  std::vector<EpochStats> history;
  std::vector<at::Tensor> state, best_state;  // NetParams::state() order
  OptimizerState optimizer;
  std::vector<RandomState> random;  // the generators of every rank, by rank (one alone)
};

// The rows this rank holds when every rank of a data-parallel run passes
// rows of its own ("sharded"): the global rows begin..end-1 are the rows
// 0..end-begin-1 of the x it gives. Row indices, y and lengths stay global.
struct Shard {
  bool active = false;
  int64_t begin = 0, end = 0;
};

struct EngineConfig {
  int64_t batch_size = 64;
  int64_t max_epochs = 40;
  int64_t patience = 8;  // 0: no early stopping
  Solver solver = Solver::ADAM;
  double learn_rate = 1e-3;
  bool piecewise = false;
  int64_t drop_period = 15;
  double drop_factor = 0.5;
  at::Tensor class_weights;  // undefined: unweighted loss; else [K] on the device
  at::Device device = at::kCPU;
  // Data-parallel training when set (more than one rank): each rank trains
  // on its share of every epoch with `batch_size` rows a batch, gradients are
  // averaged over the ranks before every step, and the validation sums are
  // taken over all ranks, so every rank ends with the same network and
  // history. Null: one process, nothing is exchanged.
  Collective* collective = nullptr;
  // Active (with a collective): the global batches are formed from the one
  // permutation of all training rows, as one process would; each rank
  // computes the rows of each batch it holds (possibly none), and the step
  // takes the sum of the ranks' gradients of (their rows' weighted loss sum /
  // the whole batch's weight): the weighted mean over the whole batch.
  // BatchNorm normalises each rank's part of a batch with that part's
  // statistics (as torch's DistributedDataParallel does without
  // SyncBatchNorm); the running statistics are averaged over the ranks after
  // every epoch, and every batch counts on every rank.
  Shard shard;
  // Where every draw of the run comes from (each epoch's order, dropout);
  // undefined generators: the process-wide default ones.
  RandomStreams streams;
  // Set: the run goes on from this state instead of starting afresh (on
  // every rank alike); a finished state trains no further.
  const TrainingState* resume = nullptr;
};

struct EngineHooks {
  std::function<void(int64_t epoch, const EpochStats&)> on_epoch;  // after every epoch
  std::function<void(int64_t patience)> on_early_stop;
  std::function<void()> check_interrupt;  // throws to abandon the run
  // Set: called with the state before the first epoch (unless resuming) and
  // after every epoch, before on_epoch, on every rank (the random states
  // of all ranks are gathered for it); needs the config's streams.
  std::function<void(const TrainingState&)> on_checkpoint;
};

struct EngineResult {
  std::vector<EpochStats> history;
  int64_t best_epoch = 0;
  double best_val_loss = 0;
};

// Trains `net` in place on the rows `train_idx` of x/y (host tensors, x
// float32 [n, F, L], y int64 [n]) and validates on `val_idx`; restores the
// state of the best validation epoch and leaves the network in eval mode.
// `lengths` (int64 [n] on the host, or undefined: every row has L steps)
// gives each row's own length for sequences of unequal length, padded to L.
EngineResult train_network(NetParams& net, const at::Tensor& x, const at::Tensor& y, const at::Tensor& train_idx,
                           const at::Tensor& val_idx, const EngineConfig& cfg, const EngineHooks& hooks,
                           const at::Tensor& lengths = {});

// Predicts the rows `idx` in batches: (codes int64 [m], probabilities
// float32 [m, K]) on the host, in `idx` order. Uses the network's current
// training flags (eval after train_network). With a collective every rank
// predicts its own part of `idx` (with an active shard: the rows it holds)
// and all ranks return the whole result.
std::pair<at::Tensor, at::Tensor> predict_rows(const NetParams& net, const at::Tensor& x, const at::Tensor& idx,
                                               int64_t batch_size, const at::Device& device,
                                               const EngineHooks& hooks, Collective* collective = nullptr,
                                               const at::Tensor& lengths = {}, const Shard& shard = {});

// One batch of rows of x on the device with the lengths its forward takes:
// cut to the batch's longest row, and the lengths left undefined when every
// row has that length (then nothing differs from equal-length data).
struct Batch {
  at::Tensor x, lengths;
};
Batch gather_rows(const at::Tensor& x, const at::Tensor& lengths, const at::Tensor& rows, const at::Device& device);

// The rows of `order` that `rank` of `world` ranks trains on, divided as
// torch.utils.data.DistributedSampler divides them (drop_last false): the
// order is padded with its own first rows to a multiple of `world`, and rank
// r takes every world-th row from position r. Every rank gets
// ceil(n / world) rows.
at::Tensor rank_share(const at::Tensor& order, int rank, int world);

}  // namespace hst
