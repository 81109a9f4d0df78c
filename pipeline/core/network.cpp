// The network's one forward definition in ATen, over parameters that share
// storage with the torch.nn submodules.
#include "core/network.h"

#include <ATen/core/grad_mode.h>

#include "kernels/conv_native.h"
#include "kernels/linear_native.h"
#include "kernels/rnn_native.h"

namespace hst {

void NetParams::set_training(bool on) {
  for (auto& s : cnn)
    if (s.kind == CnnStep::BATCH_NORM) s.bn.training = on;
  rnn.training = on;
  dropout_training = on;
}

std::vector<at::Tensor> NetParams::parameters() const {
  std::vector<at::Tensor> out;
  for (const auto& s : cnn) {
    if (s.kind == CnnStep::CONV) {
      out.push_back(s.conv.weight);
      if (s.conv.bias.defined()) out.push_back(s.conv.bias);
    } else if (s.kind == CnnStep::BATCH_NORM) {
      if (s.bn.weight.defined()) out.push_back(s.bn.weight);
      if (s.bn.bias.defined()) out.push_back(s.bn.bias);
    }
  }
  for (const auto& w : rnn.flat_weights) out.push_back(w);
  out.push_back(fc_weight);
  if (fc_bias.defined()) out.push_back(fc_bias);
  return out;
}

std::vector<at::Tensor> NetParams::state() const {
  std::vector<at::Tensor> out = parameters();
  for (const auto& s : cnn) {
    if (s.kind != CnnStep::BATCH_NORM) continue;
    for (const auto* t : {&s.bn.running_mean, &s.bn.running_var, &s.bn.num_batches_tracked})
      if (t->defined()) out.push_back(*t);
  }
  return out;
}

kernels::StepNetwork step_network(const NetParams& p) {
  kernels::StepNetwork s;
  s.cnn = &p.cnn;
  s.rnn = &p.rnn;
  s.bidirectional_summary = p.bidirectional_summary;
  s.dropout_p = p.dropout_training ? p.dropout_p : 0.0;
  s.dropout_generator = p.dropout_generator;
  s.fc_weight = p.fc_weight;
  s.fc_bias = p.fc_bias;
  return s;
}

static at::Tensor batch_norm_step(const BatchNormLayer& bn, const at::Tensor& x) {
  const double factor = batch_norm_step_factor(bn, x.sizes());
  bool use_batch_stats = bn.training || (!bn.running_mean.defined() && !bn.running_var.defined());
  const bool use_running = !bn.training || bn.track_running_stats;
  return at::batch_norm(x, bn.weight, bn.bias, use_running ? bn.running_mean : at::Tensor(),
                        use_running ? bn.running_var : at::Tensor(), use_batch_stats, factor, bn.eps,
                        at::globalContext().userEnabledCuDNN());
}

namespace {

// The library's recurrent layer over a PackedSequence's data and batch sizes,
// or over the whole padded batch (batch_sizes undefined).
at::Tensor library_recurrent(const RnnLayer& r, const at::Tensor& x, const at::Tensor& batch_sizes, int64_t batch) {
  const int64_t dirs = r.bidirectional ? 2 : 1;
  at::Tensor h0 = at::zeros({r.num_layers * dirs, batch, r.hidden_size}, x.options());
  if (batch_sizes.defined()) {
    switch (r.kind) {
      case RnnKind::LSTM:
        return std::get<0>(at::lstm(x, batch_sizes, {h0, at::zeros_like(h0)}, r.flat_weights, r.has_biases,
                                    r.num_layers, r.dropout, r.training, r.bidirectional));
      case RnnKind::GRU:
        return std::get<0>(at::gru(x, batch_sizes, h0, r.flat_weights, r.has_biases, r.num_layers, r.dropout,
                                   r.training, r.bidirectional));
      case RnnKind::RNN_RELU:
        return std::get<0>(at::rnn_relu(x, batch_sizes, h0, r.flat_weights, r.has_biases, r.num_layers, r.dropout,
                                        r.training, r.bidirectional));
      case RnnKind::RNN_TANH:
      default:
        return std::get<0>(at::rnn_tanh(x, batch_sizes, h0, r.flat_weights, r.has_biases, r.num_layers, r.dropout,
                                        r.training, r.bidirectional));
    }
  }
  switch (r.kind) {
    case RnnKind::LSTM:
      return std::get<0>(at::lstm(x, {h0, at::zeros_like(h0)}, r.flat_weights, r.has_biases, r.num_layers, r.dropout,
                                  r.training, r.bidirectional, r.batch_first));
    case RnnKind::GRU:
      return std::get<0>(at::gru(x, h0, r.flat_weights, r.has_biases, r.num_layers, r.dropout, r.training,
                                 r.bidirectional, r.batch_first));
    case RnnKind::RNN_RELU:
      return std::get<0>(at::rnn_relu(x, h0, r.flat_weights, r.has_biases, r.num_layers, r.dropout, r.training,
                                      r.bidirectional, r.batch_first));
    case RnnKind::RNN_TANH:
    default:
      return std::get<0>(at::rnn_tanh(x, h0, r.flat_weights, r.has_biases, r.num_layers, r.dropout, r.training,
                                      r.bidirectional, r.batch_first));
  }
}

}  // namespace

at::Tensor recurrent_forward(const RnnLayer& r, const at::Tensor& x, Kernels kernels, const at::Tensor& lengths) {
  if (kernels == Kernels::Native && hst::kernels::native_recurrent_supported(r, x, lengths))
    return hst::kernels::native_recurrent_forward(r, x, lengths);
  const int64_t batch = r.batch_first ? x.size(0) : x.size(1);
  if (!lengths.defined()) return library_recurrent(r, x, at::Tensor(), batch);
  // Unequal lengths: the library's packed sequences, samples sorted longest
  // first and put back in their own order afterwards.
  TORCH_CHECK(r.batch_first, "recurrent_forward: lengths need a batch-first layer");
  const int64_t steps = x.size(1);
  auto sorted_order = lengths.to(at::kCPU).to(at::kLong).sort(/*dim=*/0, /*descending=*/true);
  const at::Tensor sorted = std::get<0>(sorted_order), order = std::get<1>(sorted_order);
  auto packed = at::_pack_padded_sequence(x.index_select(0, order.to(x.device())), sorted, true);
  const at::Tensor batch_sizes = std::get<1>(packed);
  at::Tensor out = library_recurrent(r, std::get<0>(packed), batch_sizes, batch);
  at::Tensor padded = std::get<0>(at::_pad_packed_sequence(out, batch_sizes, true, 0.0, steps));
  return padded.index_select(0, at::argsort(order).to(x.device()));
}

at::Tensor stack_output_lengths(const std::vector<CnnStep>& steps, const at::Tensor& lengths) {
  at::Tensor l = lengths;
  for (const CnnStep& s : steps) {
    if (s.kind == CnnStep::CONV) l = conv_output_length(l, s.conv);
    else if (s.kind == CnnStep::MAX_POOL) l = pool_output_length(l, s.pool_kernel, s.pool_stride);
  }
  return l;
}

at::Tensor valid_steps(const at::Tensor& x, const at::Tensor& lengths) {
  // step numbers 1..L counted from x itself, so that a trace keeps L free
  const at::Tensor position = at::ones_like(x.select(1, 0), at::kLong).cumsum(1);
  return position.le(lengths.to(x.device()).unsqueeze(1));
}

at::Tensor zero_beyond(const at::Tensor& x, const at::Tensor& lengths) {
  // a fill, not a product: NaN or Inf in the padding must not survive
  return x.masked_fill(valid_steps(x, lengths).logical_not().unsqueeze(1), 0);
}

at::Tensor over_valid_positions(const at::Tensor& x, const at::Tensor& lengths,
                                const std::function<at::Tensor(const at::Tensor&)>& layer) {
  const at::Tensor mask = valid_steps(x, lengths);  // [B, L]
  const at::Tensor rows = x.transpose(1, 2);                                 // [B, L, C]
  const at::Tensor out_rows = layer(rows.index({mask}));                    // [N, C]
  at::Tensor out = at::zeros({x.size(0), x.size(2), out_rows.size(1)}, out_rows.options());
  out = out.index_put({mask}, out_rows);
  return out.transpose(1, 2);
}

at::Tensor network_forward(const NetworkStages& stages, const at::Tensor& x, const at::Tensor& lengths) {
  at::Tensor features = stages.cnn(x, lengths);
  const at::Tensor feature_lengths = lengths.defined() ? stages.cnn_lengths(lengths) : at::Tensor();
  at::Tensor out = stages.rnn(features.transpose(1, 2), feature_lengths);  // [B, L', W]: steps along dim 1
  at::Tensor last;
  if (feature_lengths.defined()) {
    // each sample's own last step
    // shaped after out itself, so that an exporter keeps the batch size free
    const at::Tensor at_step = (feature_lengths.to(out.device()) - 1).view({-1, 1, 1}).expand_as(out.narrow(1, 0, 1));
    last = out.gather(1, at_step).squeeze(1);
  } else {
    last = out.select(1, -1);
  }
  at::Tensor summary;
  if (stages.bidirectional()) {
    // Symbolic width: an exporter tracing with symbolic sizes keeps the batch size free.
    const c10::SymInt h = out.sym_size(-1) / c10::SymInt(2);
    // forward direction after the last step, backward direction after reading back to the first
    summary = at::cat({last.slice_symint(1, 0, h), out.select(1, 0).slice_symint(1, h)}, 1);
  } else {
    summary = last;
  }
  return stages.classifier(stages.dropout(summary));
}

at::Tensor AtenStages::cnn(const at::Tensor& input, const at::Tensor& lengths) const {
  if (kernels_ == Kernels::Native && hst::kernels::native_conv_supported(p_.cnn, input, lengths))
    return hst::kernels::native_conv_forward(p_.cnn, input, lengths);  // the whole stack as one node
  at::Tensor x = input;
  at::Tensor l = lengths;
  for (const auto& s : p_.cnn) {
    switch (s.kind) {
      case CnnStep::CONV:
        // zeros beyond the sample: it is padded at its own two ends
        x = at::conv1d(l.defined() ? zero_beyond(x, l) : x, s.conv.weight, s.conv.bias, {s.conv.stride},
                       {s.conv.padding}, {s.conv.dilation}, s.conv.groups);
        break;
      case CnnStep::BATCH_NORM:
        if (l.defined())
          x = over_valid_positions(x, l, [&](const at::Tensor& rows) { return batch_norm_step(s.bn, rows); });
        else
          x = batch_norm_step(s.bn, x);
        break;
      case CnnStep::RELU:
        x = at::relu(x);
        break;
      case CnnStep::MAX_POOL:
        x = at::max_pool1d(x, {s.pool_kernel}, {s.pool_stride});
        break;
    }
    if (l.defined() && (s.kind == CnnStep::CONV || s.kind == CnnStep::MAX_POOL)) {
      l = stack_output_lengths({s}, l);
      x = zero_beyond(x, l);
    }
  }
  return x;
}

at::Tensor AtenStages::cnn_lengths(const at::Tensor& lengths) const {
  return lengths.defined() ? stack_output_lengths(p_.cnn, lengths) : lengths;
}

at::Tensor AtenStages::rnn(const at::Tensor& x, const at::Tensor& lengths) const {
  return recurrent_forward(p_.rnn, x, kernels_, lengths);
}

namespace {

// at::dropout drawing from `gen`: the same masks as at::dropout draws from
// the default generator in the same state (on the CPU a Bernoulli noise
// tensor scaled by 1/(1-p); on CUDA the fused kernel), the same gradients.
at::Tensor dropout_from(const at::Tensor& x, double p, bool train, const at::Generator& gen) {
  if (!gen.defined()) return at::dropout(x, p, train);
  if (p == 0 || !train || x.numel() == 0) return x;
  if (p == 1) return x * at::zeros({}, x.options());
  if (x.is_cuda()) return std::get<0>(at::_fused_dropout(x, 1 - p, gen));
  at::Tensor noise = at::empty_like(x, at::MemoryFormat::Contiguous);
  noise.bernoulli_(1 - p, gen);
  noise.div_(1 - p);
  return x * noise;
}

}  // namespace

at::Tensor AtenStages::dropout(const at::Tensor& summary) const {
  return dropout_from(summary, p_.dropout_p, p_.dropout_training, p_.dropout_generator);
}

at::Tensor AtenStages::classifier(const at::Tensor& summary) const {
  if (kernels_ == Kernels::Native && hst::kernels::native_linear_supported(summary, p_.fc_weight, p_.fc_bias))
    return hst::kernels::native_linear(summary, p_.fc_weight, p_.fc_bias);  // its gradients at any thread count
  return at::linear(summary, p_.fc_weight, p_.fc_bias);
}

at::Tensor network_forward(const NetParams& p, const at::Tensor& x, const at::Tensor& lengths, Kernels kernels) {
  return network_forward(AtenStages(p, kernels), x, lengths);
}

}  // namespace hst
