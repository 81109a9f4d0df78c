// Row layouts of the convolution stack's buffers: activations channels-last,
// rows of C floats, one row per (sample, position). A buffer is described by
// a Layout: `lead` rows before the first sample, then S rows per sample of
// which rows off..off+L-1 hold values; samples of unequal lengths each have
// their own span and length.
#pragma once

#include <ATen/ATen.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace hst::kernels::conv {

// Per-sample spans of a buffer whose samples differ in length: sample b
// spans rows first[b] .. first[b+1]-1 (first[0] = the lead rows) and holds
// len[b] values.
struct Spans {
  std::vector<int64_t> first, len;
  int64_t valid = 0;  // sum of len
};

struct Layout {
  int64_t B = 0, L = 0, C = 0;  // samples, positions, channels
  int64_t S = 0;                // rows per sample
  int64_t off = 0;              // first valid row within a sample
  int64_t lead = 0;             // rows before the first sample
  // When the samples differ in length: their spans (S and L then bound them,
  // B * S and lead the rows no longer); null when each has S rows, L valid.
  std::shared_ptr<const Spans> spans;
  const int64_t* first_ = nullptr;
  const int64_t* len_ = nullptr;
  Layout() = default;
  Layout(int64_t B_, int64_t L_, int64_t C_, int64_t S_, int64_t off_, int64_t lead_)
      : B(B_), L(L_), C(C_), S(S_), off(off_), lead(lead_) {}
  bool ragged() const { return len_ != nullptr; }
  int64_t start(int64_t b) const { return first_ ? first_[b] : lead + b * S; }  // first row of sample b
  int64_t len(int64_t b) const { return len_ ? len_[b] : L; }
  int64_t rows() const { return first_ ? first_[B] : lead + B * S; }
  int64_t valid() const { return spans ? spans->valid : B * L; }  // valid rows, all samples
  int64_t row(int64_t b, int64_t l) const { return start(b) + off + l; }
};

inline Layout compact(int64_t B, int64_t L, int64_t C) { return Layout{B, L, C, L, 0, 0}; }
inline Layout padded(int64_t B, int64_t L, int64_t C, int64_t p) { return Layout{B, L, C, L + 2 * p, p, 0}; }

// `u` with sample b holding len[b] values in span(b) rows (after u's lead
// rows); `u` unchanged when len is empty (every sample of full length).
template <typename Span>
Layout with_lengths(Layout u, const std::vector<int64_t>& len, const Span& span) {
  if (len.empty()) return u;
  auto sp = std::make_shared<Spans>();
  sp->first.resize(u.B + 1);
  sp->first[0] = u.lead;
  for (int64_t b = 0; b < u.B; ++b) {
    sp->first[b + 1] = sp->first[b] + span(b);
    sp->valid += len[b];
  }
  sp->len = len;
  u.first_ = sp->first.data();
  u.len_ = sp->len.data();
  u.spans = std::move(sp);
  return u;
}

inline at::Tensor alloc(const Layout& y, const at::TensorOptions& o) { return at::empty({y.rows(), y.C}, o); }

// Zeroes every row that holds no value.
inline void zero_gaps(const at::Tensor& buf, const Layout& y) {
  float* base = buf.data_ptr<float>();
  const size_t row_bytes = sizeof(float) * y.C;
  if (y.lead) std::memset(base, 0, row_bytes * y.lead);
  if (y.ragged()) {
    for (int64_t b = 0; b < y.B; ++b) {
      float* s = base + y.start(b) * y.C;
      const int64_t span = y.start(b + 1) - y.start(b), end = y.off + y.len(b);
      if (y.off) std::memset(s, 0, row_bytes * y.off);
      if (span > end) std::memset(s + end * y.C, 0, row_bytes * (span - end));
    }
    return;
  }
  if (y.off == 0 && y.L == y.S) return;
  for (int64_t b = 0; b < y.B; ++b) {
    float* s = base + (y.lead + b * y.S) * y.C;
    if (y.off) std::memset(s, 0, row_bytes * y.off);
    if (y.S > y.off + y.L) std::memset(s + (y.off + y.L) * y.C, 0, row_bytes * (y.S - y.off - y.L));
  }
}

inline at::Tensor alloc_zero_gaps(const Layout& y, const at::TensorOptions& o) {
  at::Tensor t = alloc(y, o);
  zero_gaps(t, y);
  return t;
}

// The valid rows as a [B, L, C] view (samples of full length only).
inline at::Tensor valid_view(const at::Tensor& buf, const Layout& y) {
  return buf.as_strided({y.B, y.L, y.C}, {y.S * y.C, y.C, 1}, buf.storage_offset() + (y.lead + y.off) * y.C);
}

// The valid rows of samples b0..b1-1 of `in` into the valid rows of `out`
// (a sample's rows are consecutive in both).
inline void copy_rows(const float* in, const Layout& li, float* out, const Layout& lo, int64_t b0, int64_t b1) {
  for (int64_t b = b0; b < b1; ++b)
    std::memcpy(out + lo.row(b, 0) * lo.C, in + li.row(b, 0) * li.C, sizeof(float) * li.len(b) * li.C);
}

}  // namespace hst::kernels::conv
