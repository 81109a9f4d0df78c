// Bookkeeping of the recurrent stack's passes: its settings and weights, where
// each step's rows lie (a full batch, or samples of unequal lengths in the
// packed layout), the row blocks a direction runs on the threads, and the
// copies between the caller's batch-first tensors and the packed layout.
//
// Everything runs time-major: a layer's buffers are matrices whose rows are
// ordered (step, batch), so the rows of one step are a contiguous block.
#pragma once

#include <ATen/ATen.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "kernels/layers.h"
#include "kernels/parallel.h"
#include "kernels/simd.h"

namespace hst::kernels::rnn {

// [T, B, n] whose rows (the last dimension) can be read as n consecutive floats.
inline bool unit_rows(const at::Tensor& t) { return t.size(2) == 1 || t.stride(2) == 1; }

struct Config {
  RnnKind kind = RnnKind::LSTM;
  int64_t gates = 4, layers = 1, dirs = 1, hidden = 0;
  double dropout = 0.0;  // applied between layers only when training
  bool training = false;
  at::Generator generator;  // the dropout's draws; undefined: the default generator
};

inline int64_t gate_count(RnnKind kind) {
  switch (kind) {
    case RnnKind::LSTM:
      return 4;
    case RnnKind::GRU:
      return 3;
    default:
      return 1;
  }
}

// The settings of a layer's description.
Config config_of(const RnnLayer& r);

// The flat weights in torch.nn order: w_ih, w_hh, b_ih, b_hh per layer and direction.
struct Weights {
  const std::vector<at::Tensor>* flat;
  int64_t dirs;
  const at::Tensor& w_ih(int64_t l, int64_t d) const { return (*flat)[(l * dirs + d) * 4 + 0]; }
  const at::Tensor& w_hh(int64_t l, int64_t d) const { return (*flat)[(l * dirs + d) * 4 + 1]; }
  const at::Tensor& b_ih(int64_t l, int64_t d) const { return (*flat)[(l * dirs + d) * 4 + 2]; }
  const at::Tensor& b_hh(int64_t l, int64_t d) const { return (*flat)[(l * dirs + d) * 4 + 3]; }
};

// Where each step's rows lie in a layer's [rows, n] buffers. A full batch
// (every sample runs all T steps): step t's B rows start at row t * B.
// Samples of unequal lengths use the packed layout of PackedSequence: the
// samples sorted by length, longest first (ties keep their batch order), so
// that the samples still running at step t are the first n[t] sorted ones,
// and step t's rows start at off[t] = n[0] + ... + n[t-1]. Row i of any step
// belongs to sorted sample i, so a buffer indexed by sorted sample (a
// carried state) serves every step.
struct Steps {
  int64_t T = 0, B = 0;
  std::vector<int64_t> off;  // [T + 1]: first row of each step; off[T]: all rows
  std::vector<int64_t> n;    // [T + 1]: rows of each step, non-increasing; n[T] = 0
  bool full = true;
  std::vector<int64_t> order;    // packed: sorted sample i is batch sample order[i]
  std::vector<int64_t> lengths;  // packed: steps of sorted sample i, descending
  int64_t rows() const { return off[T]; }
};

// Every sample runs all T steps.
Steps full_steps(int64_t T, int64_t B);

// The packed layout of a batch whose sample b runs len[b] steps (1 <= len[b] <= T).
Steps packed_steps(int64_t T, const std::vector<int64_t>& len);

// Input-side bias with whatever of the hidden-side bias can be added before
// the recurrence (all of it, except GRU's b_hn which sits inside r * (...)).
at::Tensor folded_bias(const Config& cfg, const at::Tensor& b_ih, const at::Tensor& b_hh);

// The batch rows of a recurrence are independent of each other: a direction
// runs as blocks of kRowBlock rows, each block through all steps on one
// thread, so the per-step products and loops split over torch's intra-op
// threads with nothing to synchronise per step, and every row is computed the
// same way whatever the thread count.
constexpr int64_t kRowBlock = 8;
// Multiply-adds a thread takes at least (row blocks here; steps of the input gradient).
constexpr int64_t kMinBlockWork = int64_t(1) << 20;

// Runs fn(b0, b1) over row ranges that start at multiples of kRowBlock; a
// row costs `work_per_step` multiply-adds per step it runs. A full batch
// splits into ranges of as many blocks each; the packed layout's blocks
// (the longest samples first) split by their share of the work.
template <typename F>
void over_row_blocks(const Steps& steps, int64_t work_per_step, const F& fn) {
  const int64_t B = steps.B, blocks = (B + kRowBlock - 1) / kRowBlock;
  if (steps.full) {
    const int64_t work_per_row = steps.T * work_per_step;
    const int64_t grain = std::max<int64_t>(1, kMinBlockWork / std::max<int64_t>(1, kRowBlock * work_per_row));
    parallel_chunks(blocks, grain, [&](int64_t lo, int64_t hi) { fn(lo * kRowBlock, std::min(B, hi * kRowBlock)); });
    return;
  }
  std::vector<int64_t> cum(blocks + 1, 0);  // steps run by the blocks before
  for (int64_t k = 0; k < blocks; ++k) {
    cum[k + 1] = cum[k];
    for (int64_t i = k * kRowBlock; i < std::min(B, (k + 1) * kRowBlock); ++i) cum[k + 1] += steps.lengths[i];
  }
  const int64_t total = cum[blocks] * std::max<int64_t>(1, work_per_step);
  const int64_t chunks = std::min<int64_t>({at::get_num_threads(), blocks, total / kMinBlockWork});
  if (chunks < 2) {
    fn(int64_t{0}, B);
    return;
  }
  std::vector<int64_t> first(chunks + 1, blocks);  // chunk c: blocks first[c] .. first[c+1]
  for (int64_t c = 0; c < chunks; ++c)
    first[c] = std::lower_bound(cum.begin(), cum.end(), (cum[blocks] * c + chunks - 1) / chunks) - cum.begin();
  parallel_chunks(chunks, 1, [&](int64_t lo, int64_t hi) {
    for (int64_t c = lo; c < hi; ++c) {
      const int64_t b0 = first[c] * kRowBlock, b1 = std::min(B, first[c + 1] * kRowBlock);
      if (b0 < b1) fn(b0, b1);
    }
  });
}

// The rows b0..e (e <= b1) of a block that run step t, and the end c of those
// among them that carry a state from the step before (tp: t - 1 forward,
// t + 1 reverse); rows c..e start there from a zero state (the first step a
// forward direction runs, the last valid step of a sample for the reverse).
struct StepSpan {
  int64_t e, c;
};

HST_ALWAYS_INLINE StepSpan step_span(const Steps& steps, int64_t d, int64_t t, int64_t b0, int64_t b1) {
  const int64_t e = std::min(b1, steps.n[t]);
  const int64_t c = d == 0 ? (t > 0 ? e : b0) : std::max(b0, std::min(e, steps.n[t + 1]));
  return {e, c};
}

// x [B, T, C] (any strides) -> [rows, C]: each sample's valid steps in the packed layout.
at::Tensor pack_rows(const at::Tensor& x, const Steps& steps);

// [rows, C] in the packed layout -> [B, T, C], zero at each sample's steps
// past its length.
at::Tensor unpack_rows(const at::Tensor& packed, const Steps& steps);

// A full-batch [T, B, C] tensor's rows at the packed layout's positions.
at::Tensor packed_rows_of_full(const at::Tensor& full, const Steps& steps);

}  // namespace hst::kernels::rnn
