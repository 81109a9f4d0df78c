// The recurrent stack's backward pass (rnn_stack.h): per layer, per direction
// a loop over the steps in reverse that turns the saved activations into the
// gradients of the pre-activations, then the weight gradients as one product
// each over all steps, and the gradient of the layer's input.
#include <ATen/ATen.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kernels/gemm_packed.h"
#include "kernels/rnn_cells.h"
#include "kernels/rnn_stack.h"

namespace hst::kernels::rnn {

namespace {

// The gradient of a layer's output, read in place: step t, batch row b at
// p + t * s_t + b * s_b, or with `off` at p + (off[t] + b) * s_b (unit stride
// along the row).
struct StepRows {
  const float* p;
  int64_t s_t, s_b;
  const int64_t* off = nullptr;
  const float* at(int64_t t, int64_t b) const { return p + (off ? (off[t] + b) * s_b : t * s_t + b * s_b); }
};

// One direction's buffers in a backward pass, each at the direction's first
// column; rows are ld_g (gates) and ld_s (states) floats apart. The carried
// buffers are indexed by (sorted) sample.
struct BackwardRows {
  RnnKind kind;
  int64_t H, GH, ld_g, ld_s;
  float* gates;            // activations in, gradients of the pre-activations out
  float* extra;            // LSTM cell state; GRU hn in, its gradient out
  const float* cell_tanh;  // LSTM
  const float* out;        // hidden states
  float* dh_next;          // [B, H] gradient carried to the step before
  float* dc;               // LSTM: [B, H] cell gradient carried to the step before
  float* step_h;           // GRU: [B, G*H] hidden-side gradients of this step
};

// The cell's backward loop over n rows of one step: row rr of the step's
// buffers, block row r0, state read from row pr of the step before (none
// when `first`); dy_t: the incoming gradient of the first row, rows ld_dy apart.
void cell_backward_rows(const BackwardRows& g, const float* dy_t, int64_t ld_dy, int64_t rr, int64_t pr, int64_t r0,
                        int64_t n, bool first) {
  const int64_t H = g.H, ld_g = g.ld_g, ld_s = g.ld_s;
  switch (g.kind) {
    case RnnKind::LSTM: {
      LstmBackStep st{H,
                      dy_t,
                      ld_dy,
                      g.dh_next + r0 * H,
                      g.gates + rr * ld_g,
                      ld_g,
                      g.cell_tanh + rr * ld_s,
                      first ? nullptr : g.extra + pr * ld_s,
                      ld_s,
                      g.dc + r0 * H};
      lstm_backward_rows(st, n);
      break;
    }
    case RnnKind::GRU: {
      GruBackStep st{H,
                     dy_t,
                     ld_dy,
                     g.dh_next + r0 * H,
                     g.gates + rr * ld_g,
                     ld_g,
                     g.extra + rr * ld_s,
                     first ? nullptr : g.out + pr * ld_s,
                     ld_s,
                     g.step_h + r0 * g.GH};
      gru_backward_rows(st, n);
      break;
    }
    default: {
      const bool relu = g.kind == RnnKind::RNN_RELU;
      rnn_backward_rows(relu, H, dy_t, ld_dy, g.dh_next + r0 * H, g.out + rr * ld_s, ld_s, g.gates + rr * ld_g, ld_g,
                        n);
      break;
    }
  }
}

// Adds the bias gradients of step t's rows b0..e (rows `row0` on of the
// step's buffers) to the totals of their row blocks: db [blocks, G*H], and
// for GRU db_hn [blocks, H] from the gradient of W_hn h + b_hn.
void add_block_sums(const BackwardRows& g, int64_t row0, int64_t b0, int64_t e, float* partial, double* block_db,
                    double* block_db_hn) {
  for (int64_t r = b0; r < e; r += kRowBlock) {
    const int64_t k = r / kRowBlock, n = std::min(kRowBlock, e - r);
    add_column_sums(g.gates + (row0 + r) * g.ld_g, g.ld_g, n, g.GH, partial, block_db + k * g.GH);
    if (g.kind == RnnKind::GRU)
      add_column_sums(g.extra + (row0 + r) * g.ld_s, g.ld_s, n, g.H, partial, block_db_hn + k * g.H);
  }
}

// Backward of one direction of one layer over all steps. Turns this
// direction's columns of `gates` into the gradients of the pre-activations
// (GRU: and `extra` into the gradient of W_hn h + b_hn), and adds their sums
// over all rows to db [G*H] (GRU: the gradient of b_hn to db_hn [H]). Runs by
// row blocks like the forward; the sums are kept per block and added in block
// order, so they too are the same for any thread count.
void backward_direction(const Config& cfg, int64_t d, const Steps& steps, const at::Tensor& w_hh,
                        const StepRows& dy, at::Tensor& gates, at::Tensor& extra, const at::Tensor& cell_tanh,
                        const at::Tensor& out2d, double* db, double* db_hn) {
  const int64_t H = cfg.hidden, GH = cfg.gates * H, D = cfg.dirs, T = steps.T, B = steps.B;
  const at::TensorOptions opts = gates.options();
  const bool gru = cfg.kind == RnnKind::GRU;
  // carried per sorted sample; zero until the sample's first step backward
  at::Tensor dh_next = at::zeros({B, H}, opts);
  at::Tensor dc, step_h;
  if (cfg.kind == RnnKind::LSTM) dc = at::zeros({B, H}, opts);
  if (gru) step_h = at::empty({B, GH}, opts);
  const BackwardRows g{cfg.kind,
                       H,
                       GH,
                       D * GH,
                       D * H,
                       gates.data_ptr<float>() + d * GH,
                       extra.defined() ? extra.data_ptr<float>() + d * H : nullptr,
                       cell_tanh.defined() ? cell_tanh.data_ptr<float>() + d * H : nullptr,
                       out2d.data_ptr<float>() + d * H,
                       dh_next.data_ptr<float>(),
                       dc.defined() ? dc.data_ptr<float>() : nullptr,
                       step_h.defined() ? step_h.data_ptr<float>() : nullptr};
  const int64_t blocks = (B + kRowBlock - 1) / kRowBlock;
  std::vector<double> block_db(blocks * GH, 0.0), block_db_hn(gru ? blocks * H : 0, 0.0);
  const PackedB w_hh_p = pack_b(w_hh);
  const StepRows dy_d{dy.p + d * H, dy.s_t, dy.s_b, dy.off};

  over_row_blocks(steps, 2 * GH * H, [&](int64_t b0, int64_t b1) {
    std::vector<float> partial(GH);
    for (int64_t s = T - 1; s >= 0; --s) {
      const int64_t t = d == 0 ? s : T - 1 - s;
      const int64_t tp = d == 0 ? t - 1 : t + 1;
      const auto [e, c] = step_span(steps, d, t, b0, b1);
      if (e <= b0) {
        if (d == 1) break;  // reverse, read forward in time: fewer rows at every later step
        continue;
      }
      const int64_t row = steps.off[t] + b0, prow = c > b0 ? steps.off[tp] + b0 : 0;
      // the rows with a previous state, then those whose state started at zero
      for (int part = 0; part < 2; ++part) {
        const int64_t r0 = part == 0 ? b0 : c, r1 = part == 0 ? c : e;
        if (r1 <= r0) continue;
        cell_backward_rows(g, dy_d.at(t, r0), dy.s_b, row + (r0 - b0), prow + (r0 - b0), r0, r1 - r0,
                           /*first=*/part == 1);
      }
      add_block_sums(g, steps.off[t], b0, e, partial.data(), block_db.data(), block_db_hn.data());
      if (c <= b0) continue;  // no row carries a state back to another step
      if (gru)  // dh_next already holds the direct path dh * z
        gemm_packed(c - b0, g.step_h + b0 * GH, GH, 1, w_hh_p, g.dh_next + b0 * H, H, /*accumulate=*/true);
      else
        gemm_packed(c - b0, g.gates + row * g.ld_g, g.ld_g, 1, w_hh_p, g.dh_next + b0 * H, H, /*accumulate=*/false);
    }
  });
  for (int64_t k = 0; k < blocks; ++k) {
    for (int64_t j = 0; j < GH; ++j) db[j] += block_db[k * GH + j];
    if (gru)
      for (int64_t j = 0; j < H; ++j) db_hn[j] += block_db_hn[k * H + j];
  }
}

// Float tensor of the double sums.
at::Tensor float_vector(const std::vector<double>& v, const at::TensorOptions& opts) {
  at::Tensor t = at::empty({static_cast<int64_t>(v.size())}, opts);
  float* p = t.data_ptr<float>();
  for (size_t i = 0; i < v.size(); ++i) p[i] = static_cast<float>(v[i]);
  return t;
}

// The packed layout's rows k0..k1 of the state each row read (direction d's
// columns of out2d [rows, D*H]): the previous step's for the forward
// direction, the next step's for the reverse, zero for a row that started
// from zero. -> [k1 - k0, H]
at::Tensor read_states(const Steps& steps, int64_t d, int64_t H, const at::Tensor& out2d, int64_t k0, int64_t k1) {
  at::Tensor prev = at::empty({k1 - k0, H}, out2d.options());
  const int64_t ld_s = out2d.size(1);
  const float* src = out2d.data_ptr<float>() + d * H;
  float* dst = prev.data_ptr<float>();
  const int64_t grain = std::max<int64_t>(1, (int64_t(1) << 16) / std::max<int64_t>(1, steps.B * H));
  parallel_chunks(steps.T, grain, [&](int64_t t0, int64_t t1) {
    for (int64_t t = t0; t < t1; ++t) {
      const int64_t tp = d == 0 ? t - 1 : t + 1;
      const int64_t carried = tp < 0 ? 0 : std::min(steps.n[t], steps.n[tp]);
      for (int64_t i = 0; i < steps.n[t]; ++i) {
        const int64_t r = steps.off[t] + i;
        if (r < k0 || r >= k1) continue;
        float* o = dst + (r - k0) * H;
        if (i < carried)
          std::memcpy(o, src + (steps.off[tp] + i) * ld_s, sizeof(float) * H);
        else
          std::memset(o, 0, sizeof(float) * H);
      }
    }
  });
  return prev;
}

// The incoming gradient of the top layer, read in place where its rows have
// unit stride (it usually arrives batch-first); `holder` keeps what it reads.
StepRows incoming_rows(const Steps& steps, int64_t width, const at::Tensor& grad_out, at::Tensor& holder) {
  if (steps.full) {
    holder = unit_rows(grad_out) ? grad_out : grad_out.contiguous();
    return StepRows{holder.data_ptr<float>(), holder.stride(0), holder.stride(1)};
  }
  holder = grad_out.contiguous();
  return StepRows{holder.data_ptr<float>(), 0, width, steps.off.data()};
}

// Weight gradients of direction d of layer l into grads (flat order): sums
// over all steps of (gate gradient)^T (input it multiplied), one product
// each with the steps as the inner dimension; db and db_hn are the bias
// sums of backward_direction.
void direction_weight_grads(const Config& cfg, const Steps& steps, int64_t l, int64_t d, const at::Tensor& dgates,
                            const at::Tensor& dhn, const at::Tensor& out2d, const PackedB& in_p, int64_t I,
                            std::vector<double>& db, const std::vector<double>& db_hn, Grads& grads) {
  const int64_t D = cfg.dirs, H = cfg.hidden, GH = cfg.gates * H, ld_g = D * GH;
  const int64_t T = steps.T, B = steps.B, N = steps.rows();
  const bool gru = cfg.kind == RnnKind::GRU;
  const float* dg_p = dgates.data_ptr<float>() + d * GH;
  const int64_t base = (l * D + d) * 4;
  at::Tensor dw_ih = at::empty({GH, I}, dgates.options());
  gemm_packed(GH, dg_p, 1, ld_g, in_p, dw_ih.data_ptr<float>(), I, /*accumulate=*/false);
  grads.weights[base + 0] = dw_ih;
  grads.weights[base + 2] = float_vector(db, dgates.options());
  // step t's hidden-side gradient pairs with the state it read: the
  // previous step for the forward direction, the next for the reverse.
  // Rows g0..g1 of the gradients are those that read one (a full batch:
  // all steps but the first; packed, the rows that start from zero within
  // that range read zeros).
  const int64_t g0 = d == 0 ? steps.off[std::min<int64_t>(1, T)] : 0, g1 = d == 0 ? N : steps.off[T - 1];
  at::Tensor dw_hh = g1 > g0 ? at::empty({GH, H}, dgates.options()) : at::zeros({GH, H}, dgates.options());
  if (g1 > g0) {
    const PackedB h_p = pack_b(steps.full ? out2d.narrow(1, d * H, H).narrow(0, d == 0 ? 0 : B, g1 - g0)
                                          : read_states(steps, d, H, out2d, g0, g1));
    float* dw = dw_hh.data_ptr<float>();
    if (gru) {  // the n rows pair with the gradient of W_hn h + b_hn
      gemm_packed(2 * H, dg_p + g0 * ld_g, 1, ld_g, h_p, dw, H, /*accumulate=*/false);
      gemm_packed(H, dhn.data_ptr<float>() + d * H + g0 * D * H, 1, D * H, h_p, dw + 2 * H * H, H,
                  /*accumulate=*/false);
    } else {
      gemm_packed(GH, dg_p + g0 * ld_g, 1, ld_g, h_p, dw, H, /*accumulate=*/false);
    }
  }
  grads.weights[base + 1] = dw_hh;
  if (gru) std::copy(db_hn.begin(), db_hn.end(), db.begin() + 2 * H);
  grads.weights[base + 3] = float_vector(db, dgates.options());
}

// The gradient of layer l's input from its gate gradients (both directions):
// the first layer of a full batch batch-first in memory ([B, T, I] seen as
// [T, B, I]), one product per step with the steps split over the threads
// (each row is computed whole by one of them); otherwise [rows, I], one product.
at::Tensor input_grad(const Steps& steps, int64_t l, const at::Tensor& w_in, const at::Tensor& dgates) {
  const int64_t T = steps.T, B = steps.B, N = steps.rows(), ld_g = dgates.size(1);
  const int64_t I_l = w_in.size(1);
  const PackedB w_in_p = pack_b(w_in);
  const float* dg_all = dgates.data_ptr<float>();
  if (l == 0 && steps.full) {
    at::Tensor dx = at::empty({B, T, I_l}, dgates.options());
    float* dx_p = dx.data_ptr<float>();
    const int64_t grain = std::max<int64_t>(1, kMinBlockWork / std::max<int64_t>(1, B * I_l * ld_g));
    parallel_chunks(T, grain, [&](int64_t t0, int64_t t1) {
      for (int64_t t = t0; t < t1; ++t)
        gemm_packed(B, dg_all + t * B * ld_g, ld_g, 1, w_in_p, dx_p + t * I_l, T * I_l, /*accumulate=*/false);
    });
    return dx.transpose(0, 1);
  }
  at::Tensor dx = at::empty({N, I_l}, dgates.options());
  gemm_packed(N, dg_all, ld_g, 1, w_in_p, dx.data_ptr<float>(), I_l, /*accumulate=*/false);
  return dx;
}

}  // namespace

Grads run_backward(const Config& cfg, const Steps& steps, const Saved& saved, const Weights& w,
                   const at::Tensor& grad_out, bool need_x_grad, bool reuse) {
  const int64_t L = cfg.layers, D = cfg.dirs, H = cfg.hidden, GH = cfg.gates * H, N = steps.rows();
  const bool gru = cfg.kind == RnnKind::GRU, lstm = cfg.kind == RnnKind::LSTM;
  Grads grads;
  grads.weights.resize(L * D * 4);
  at::Tensor dy_holder;
  StepRows dy = incoming_rows(steps, D * H, grad_out, dy_holder);

  for (int64_t l = L - 1; l >= 0; --l) {
    at::Tensor dgates = reuse ? saved.gates[l] : saved.gates[l].clone();
    at::Tensor dhn;  // GRU: gradient of W_hn h + b_hn
    if (gru) dhn = reuse ? saved.extra[l] : saved.extra[l].clone();
    at::Tensor extra = gru ? dhn : lstm ? saved.extra[l] : at::Tensor();
    const at::Tensor cell_tanh = lstm ? saved.cell_tanh[l] : at::Tensor();
    at::Tensor out2d = saved.outputs[l].view({N, D * H});
    std::vector<std::vector<double>> db(D, std::vector<double>(GH, 0.0)), db_hn(D, std::vector<double>(H, 0.0));
    for (int64_t d = 0; d < D; ++d)
      backward_direction(cfg, d, steps, w.w_hh(l, d), dy, dgates, extra, cell_tanh, out2d, db[d].data(),
                         db_hn[d].data());

    const at::Tensor& layer_in = saved.inputs[l];
    const PackedB in_p = pack_b(layer_in);
    for (int64_t d = 0; d < D; ++d)
      direction_weight_grads(cfg, steps, l, d, dgates, dhn, out2d, in_p, layer_in.size(1), db[d], db_hn[d], grads);
    if (l == 0 && !need_x_grad) break;
    at::Tensor dx = input_grad(steps, l, saved.w_in[l], dgates);
    if (l == 0) {
      grads.x = dx;
      break;
    }
    const int64_t m = l - 1;
    if (m < static_cast<int64_t>(saved.masks.size())) dx.mul_(saved.masks[m].view({N, D * H}));
    dy_holder = dx;
    dy = StepRows{dx.data_ptr<float>(), 0, dx.size(1), steps.off.data()};
  }
  return grads;
}

}  // namespace hst::kernels::rnn
