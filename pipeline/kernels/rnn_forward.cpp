// The recurrent stack's forward pass (rnn_stack.h): per layer one input
// projection, then per direction a loop over the steps that adds
// h_prev @ W_hh^T and runs the cells' fused loop.
#include <ATen/ATen.h>

#include <algorithm>
#include <cstdint>

#include "kernels/gemm_packed.h"
#include "kernels/rnn_cells.h"
#include "kernels/rnn_stack.h"

namespace hst::kernels::rnn {

namespace {

// One direction's buffers in a forward pass, each at the direction's first
// column; rows are ld_g (gates) and ld_s (states) floats apart.
struct ForwardRows {
  RnnKind kind;
  int64_t H, GH, ld_g, ld_s;
  float* gates;       // pre-activations in, activations out
  float* out;         // hidden states
  float* extra;       // LSTM cell state, GRU W_hn h + b_hn; null for RNN
  float* cell_tanh;   // LSTM: tanh of the cell state, kept for backward; null: not kept
  const float* bias;  // folded bias [G*H]
  float* hgates;      // GRU: h_prev @ W_hh^T of the block's rows [B, G*H]
  const float* b_hn;  // GRU
};

// The cell loop over n rows of one step: row rr of the step's buffers,
// block row r0, state carried from row pr of the step before (none when
// `first`).
void cell_forward_rows(const ForwardRows& f, int64_t rr, int64_t pr, int64_t r0, int64_t n, bool first) {
  const int64_t H = f.H, GH = f.GH, ld_g = f.ld_g, ld_s = f.ld_s;
  float* g = f.gates + rr * ld_g;
  float* h = f.out + rr * ld_s;
  switch (f.kind) {
    case RnnKind::LSTM: {
      LstmStep st{H, g, ld_g, f.bias, first ? nullptr : f.extra + pr * ld_s, f.extra + rr * ld_s,
                  f.cell_tanh ? f.cell_tanh + rr * ld_s : nullptr, h, ld_s};
      lstm_forward_rows(st, n);
      break;
    }
    case RnnKind::GRU: {
      GruStep st{H,
                 g,
                 ld_g,
                 f.bias,
                 first ? nullptr : f.hgates + r0 * GH,
                 f.b_hn,
                 first ? nullptr : f.out + pr * ld_s,
                 f.extra + rr * ld_s,
                 h,
                 ld_s};
      gru_forward_rows(st, n);
      break;
    }
    default: {
      const bool relu = f.kind == RnnKind::RNN_RELU;
      rnn_forward_rows(relu, H, g, ld_g, f.bias, h, ld_s, n);
      break;
    }
  }
}

// One direction of one layer over all steps. gates holds the input
// projection (without bias) on entry, or, with `step_in` (a full batch
// [T, B, I] with rows of unit stride, or packed [rows, I]), each step projects
// its own rows of it with w_ih first; bias is the folded bias of both directions [D*G*H].
void forward_direction(const Config& cfg, int64_t d, const Steps& steps, const at::Tensor* step_in,
                       const at::Tensor& w_ih, const at::Tensor& w_hh, const at::Tensor& b_hh, const at::Tensor& bias,
                       at::Tensor& gates, at::Tensor& extra, at::Tensor& cell_tanh, at::Tensor& out) {
  const int64_t H = cfg.hidden, GH = cfg.gates * H, D = cfg.dirs, T = steps.T, B = steps.B;
  const int64_t ld_g = D * GH, ld_s = D * H;
  const PackedB w_hh_t = pack_b(w_hh.t());
  const PackedB w_ih_t = step_in ? pack_b(w_ih.t()) : PackedB{};
  const float* in_p = step_in ? step_in->data_ptr<float>() : nullptr;
  const int64_t in_st = step_in ? step_in->stride(0) : 0;
  const int64_t in_sb = step_in ? step_in->stride(steps.full ? 1 : 0) : 0;  // between batch rows
  at::Tensor hgates;  // GRU: h_prev @ W_hh^T kept apart from the input part
  if (cfg.kind == RnnKind::GRU) hgates = at::empty({B, GH}, gates.options());
  at::Tensor b_hn = cfg.kind == RnnKind::GRU ? b_hh.narrow(0, 2 * H, H).contiguous() : at::Tensor();
  const ForwardRows f{cfg.kind,
                      H,
                      GH,
                      ld_g,
                      ld_s,
                      gates.data_ptr<float>() + d * GH,
                      out.data_ptr<float>() + d * H,
                      extra.defined() ? extra.data_ptr<float>() + d * H : nullptr,
                      cell_tanh.defined() ? cell_tanh.data_ptr<float>() + d * H : nullptr,
                      bias.data_ptr<float>() + d * GH,
                      hgates.defined() ? hgates.data_ptr<float>() : nullptr,
                      b_hn.defined() ? b_hn.data_ptr<float>() : nullptr};
  const int64_t work_per_step = GH * (H + (step_in ? step_in->size(-1) : 0));

  over_row_blocks(steps, work_per_step, [&](int64_t b0, int64_t b1) {
    for (int64_t s = 0; s < T; ++s) {
      const int64_t t = d == 0 ? s : T - 1 - s;
      const int64_t tp = d == 0 ? t - 1 : t + 1;
      const auto [e, c] = step_span(steps, d, t, b0, b1);
      if (e <= b0) {
        if (d == 0) break;  // forward: fewer rows at every later step
        continue;
      }
      const int64_t row = steps.off[t] + b0, prow = c > b0 ? steps.off[tp] + b0 : 0;
      if (step_in)
        gemm_packed(e - b0, in_p + (steps.full ? t * in_st + b0 * in_sb : row * in_sb), in_sb, 1, w_ih_t,
                    f.gates + row * ld_g, ld_g, /*accumulate=*/false);
      if (c > b0) {
        const float* h_prev = f.out + prow * ld_s;
        if (cfg.kind == RnnKind::GRU)
          gemm_packed(c - b0, h_prev, ld_s, 1, w_hh_t, f.hgates + b0 * GH, GH, /*accumulate=*/false);
        else
          gemm_packed(c - b0, h_prev, ld_s, 1, w_hh_t, f.gates + row * ld_g, ld_g, /*accumulate=*/true);
      }
      // the rows with a previous state, then the rows starting from zero
      for (int part = 0; part < 2; ++part) {
        const int64_t r0 = part == 0 ? b0 : c, r1 = part == 0 ? c : e;
        if (r1 <= r0) continue;
        cell_forward_rows(f, row + (r0 - b0), prow + (r0 - b0), r0, r1 - r0, /*first=*/part == 1);
      }
    }
  });
}

}  // namespace

at::Tensor run_forward(const Config& cfg, const Steps& steps, const at::Tensor& x, const Weights& w, Saved* saved) {
  const int64_t T = steps.T, B = steps.B, N = steps.rows(), H = cfg.hidden, D = cfg.dirs;
  TORCH_CHECK(steps.full ? unit_rows(x) && (saved == nullptr || x.is_contiguous()) : x.is_contiguous(),
              "run_forward: unexpected input layout");
  at::Tensor layer_in = x;  // [T, B, I_l] or [rows, I_l]
  at::Tensor out;
  for (int64_t l = 0; l < cfg.layers; ++l) {
    const int64_t I = layer_in.size(-1);
    // Each step projects its own rows for the batch-first input of a full
    // batch (read in place) and, without gradients, for the packed input too
    // (a step's gates are then still in cache when its loop reads them);
    // otherwise one product over all rows.
    const bool per_step = steps.full ? !layer_in.is_contiguous() : l == 0 && saved == nullptr;
    // input weights of both directions stacked: for the one product over all
    // steps, and for backward (the step-by-step path reads each direction's own)
    at::Tensor w_in, bias;
    if (D == 1) {
      w_in = w.w_ih(l, 0);
      bias = folded_bias(cfg, w.b_ih(l, 0), w.b_hh(l, 0));
    } else {
      if (!per_step || saved) w_in = at::cat({w.w_ih(l, 0), w.w_ih(l, 1)}, 0);
      bias = at::cat({folded_bias(cfg, w.b_ih(l, 0), w.b_hh(l, 0)), folded_bias(cfg, w.b_ih(l, 1), w.b_hh(l, 1))}, 0);
    }
    // [rows, D*G*H]; the loops add the bias
    at::Tensor gates = at::empty({N, D * cfg.gates * H}, x.options());
    if (!per_step)
      gemm_packed(N, layer_in.data_ptr<float>(), I, 1, pack_b(w_in.t()), gates.data_ptr<float>(), gates.size(1),
                  /*accumulate=*/false);
    at::Tensor extra;
    if (cfg.kind == RnnKind::LSTM || cfg.kind == RnnKind::GRU) extra = at::empty({N, D * H}, x.options());
    at::Tensor cell_tanh;
    if (saved && cfg.kind == RnnKind::LSTM) cell_tanh = at::empty({N, D * H}, x.options());
    out = steps.full ? at::empty({T, B, D * H}, x.options()) : at::empty({N, D * H}, x.options());
    for (int64_t d = 0; d < D; ++d)
      forward_direction(cfg, d, steps, per_step ? &layer_in : nullptr, w.w_ih(l, d), w.w_hh(l, d), w.b_hh(l, d),
                        bias, gates, extra, cell_tanh, out);

    if (saved) {
      saved->inputs.push_back(layer_in.view({N, I}));
      saved->w_in.push_back(w_in);
      saved->gates.push_back(gates);  // backward overwrites it with gradients
      if (extra.defined()) saved->extra.push_back(extra);
      if (cell_tanh.defined()) saved->cell_tanh.push_back(cell_tanh);
      saved->outputs.push_back(out);
    }
    if (l + 1 == cfg.layers) break;
    layer_in = out;
    if (cfg.training && cfg.dropout > 0) {
      // Drawn the way at::dropout draws it for the [T, B, D*H] layer output,
      // so a seeded run matches the library's own recurrent layers; the
      // packed layout keeps the valid positions' draws.
      at::Tensor noise;
      if (cfg.dropout >= 1.0) {
        noise = at::zeros({T, B, D * H}, x.options());
      } else {
        noise = at::empty({T, B, D * H}, x.options());
        noise.bernoulli_(1.0 - cfg.dropout, cfg.generator);
        noise.div_(1.0 - cfg.dropout);
      }
      if (!steps.full) noise = packed_rows_of_full(noise, steps);
      layer_in = out * noise;
      if (saved) saved->masks.push_back(noise);
    }
  }
  return out;
}

}  // namespace hst::kernels::rnn
