// The steps' layouts and the copies between the caller's batch-first tensors
// and the packed layout (rnn_steps.h).
#include "kernels/rnn_steps.h"

#include <cstring>

namespace hst::kernels::rnn {

namespace {

// Copies of n floats from a row of stride `stride`.
HST_ALWAYS_INLINE void copy_row(const float* src, int64_t stride, int64_t n, float* dst) {
  if (stride == 1) {
    std::memcpy(dst, src, sizeof(float) * n);
  } else {
    for (int64_t j = 0; j < n; ++j) dst[j] = src[j * stride];
  }
}

// Sorted samples a thread takes at least when copying rows of `width` floats.
int64_t copy_grain(const Steps& steps, int64_t width) {
  return std::max<int64_t>(1, (int64_t(1) << 16) / std::max<int64_t>(1, steps.T * width));
}

}  // namespace

Config config_of(const RnnLayer& r) {
  Config cfg;
  cfg.kind = r.kind;
  cfg.gates = gate_count(r.kind);
  cfg.layers = r.num_layers;
  cfg.dirs = r.bidirectional ? 2 : 1;
  cfg.hidden = r.hidden_size;
  cfg.dropout = r.dropout;
  cfg.training = r.training;
  cfg.generator = r.generator;
  return cfg;
}

Steps full_steps(int64_t T, int64_t B) {
  Steps s;
  s.T = T;
  s.B = B;
  s.n.assign(T + 1, B);
  s.n[T] = 0;
  s.off.resize(T + 1);
  for (int64_t t = 0; t <= T; ++t) s.off[t] = t * B;
  return s;
}

Steps packed_steps(int64_t T, const std::vector<int64_t>& len) {
  Steps s;
  s.T = T;
  s.B = static_cast<int64_t>(len.size());
  s.full = false;
  s.order.resize(s.B);
  for (int64_t b = 0; b < s.B; ++b) s.order[b] = b;
  std::stable_sort(s.order.begin(), s.order.end(), [&](int64_t a, int64_t b) { return len[a] > len[b]; });
  s.lengths.resize(s.B);
  for (int64_t i = 0; i < s.B; ++i) s.lengths[i] = len[s.order[i]];
  // n[t]: samples longer than t
  s.n.assign(T + 1, 0);
  for (int64_t l : s.lengths) ++s.n[l - 1];
  for (int64_t t = T - 1; t > 0; --t) s.n[t - 1] += s.n[t];
  s.off.assign(T + 1, 0);
  for (int64_t t = 0; t < T; ++t) s.off[t + 1] = s.off[t] + s.n[t];
  return s;
}

at::Tensor folded_bias(const Config& cfg, const at::Tensor& b_ih, const at::Tensor& b_hh) {
  if (cfg.kind != RnnKind::GRU) return b_ih + b_hh;
  at::Tensor b = b_ih.clone();
  b.narrow(0, 0, 2 * cfg.hidden).add_(b_hh.narrow(0, 0, 2 * cfg.hidden));
  return b;
}

at::Tensor pack_rows(const at::Tensor& x, const Steps& steps) {
  const int64_t C = x.size(2);
  at::Tensor out = at::empty({steps.rows(), C}, x.options());
  const float* src = x.data_ptr<float>();
  float* dst = out.data_ptr<float>();
  const int64_t sb = x.stride(0), st = x.stride(1), sc = x.stride(2);
  parallel_chunks(steps.B, copy_grain(steps, C), [&](int64_t i0, int64_t i1) {
    for (int64_t i = i0; i < i1; ++i) {
      const float* s = src + steps.order[i] * sb;
      for (int64_t t = 0; t < steps.lengths[i]; ++t) copy_row(s + t * st, sc, C, dst + (steps.off[t] + i) * C);
    }
  });
  return out;
}

at::Tensor unpack_rows(const at::Tensor& packed, const Steps& steps) {
  const int64_t C = packed.size(1), T = steps.T;
  at::Tensor out = at::empty({steps.B, T, C}, packed.options());
  const float* src = packed.data_ptr<float>();
  float* dst = out.data_ptr<float>();
  parallel_chunks(steps.B, copy_grain(steps, C), [&](int64_t i0, int64_t i1) {
    for (int64_t i = i0; i < i1; ++i) {
      float* d = dst + steps.order[i] * T * C;
      const int64_t len = steps.lengths[i];
      for (int64_t t = 0; t < len; ++t) std::memcpy(d + t * C, src + (steps.off[t] + i) * C, sizeof(float) * C);
      std::memset(d + len * C, 0, sizeof(float) * (T - len) * C);
    }
  });
  return out;
}

at::Tensor packed_rows_of_full(const at::Tensor& full, const Steps& steps) {
  at::Tensor index = at::empty({steps.rows()}, at::TensorOptions().dtype(at::kLong));
  int64_t* p = index.data_ptr<int64_t>();
  for (int64_t t = 0; t < steps.T; ++t)
    for (int64_t i = 0; i < steps.n[t]; ++i) p[steps.off[t] + i] = t * steps.B + steps.order[i];
  return full.reshape({steps.T * steps.B, full.size(2)}).index_select(0, index);
}

}  // namespace hst::kernels::rnn
