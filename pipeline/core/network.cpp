// The network's one forward definition in ATen, over parameters that share
// storage with the torch.nn submodules.
#include "core/network.h"

#include <ATen/core/grad_mode.h>

#include "kernels/conv_native.h"
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

static at::Tensor batch_norm_step(const BatchNormLayer& bn, const at::Tensor& x) {
  const double factor = batch_norm_step_factor(bn, x.sizes());
  bool use_batch_stats = bn.training || (!bn.running_mean.defined() && !bn.running_var.defined());
  const bool use_running = !bn.training || bn.track_running_stats;
  return at::batch_norm(x, bn.weight, bn.bias, use_running ? bn.running_mean : at::Tensor(),
                        use_running ? bn.running_var : at::Tensor(), use_batch_stats, factor, bn.eps,
                        at::globalContext().userEnabledCuDNN());
}

at::Tensor recurrent_forward(const RnnLayer& r, const at::Tensor& x, Kernels kernels) {
  if (kernels == Kernels::Native && hst::kernels::native_recurrent_supported(r, x))
    return hst::kernels::native_recurrent_forward(r, x);
  const int64_t dirs = r.bidirectional ? 2 : 1;
  const int64_t batch = r.batch_first ? x.size(0) : x.size(1);
  at::Tensor h0 = at::zeros({r.num_layers * dirs, batch, r.hidden_size}, x.options());
  switch (r.kind) {
    case RnnKind::LSTM: {
      at::Tensor c0 = at::zeros_like(h0);
      return std::get<0>(at::lstm(x, {h0, c0}, r.flat_weights, r.has_biases, r.num_layers, r.dropout, r.training,
                                  r.bidirectional, r.batch_first));
    }
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

at::Tensor network_forward(const NetworkStages& stages, const at::Tensor& x) {
  at::Tensor features = stages.cnn(x);
  at::Tensor out = stages.rnn(features.transpose(1, 2));  // [B, L', W]: steps along dim 1, as batch_first expects
  at::Tensor summary;
  if (stages.bidirectional()) {
    // Symbolic width: an exporter tracing with symbolic sizes keeps the batch size free.
    const c10::SymInt h = out.sym_size(-1) / c10::SymInt(2);
    // forward direction after the last step, backward direction after reading back to the first
    summary = at::cat({out.select(1, -1).slice_symint(1, 0, h), out.select(1, 0).slice_symint(1, h)}, 1);
  } else {
    summary = out.select(1, -1);
  }
  return stages.classifier(stages.dropout(summary));
}

at::Tensor AtenStages::cnn(const at::Tensor& input) const {
  if (kernels_ == Kernels::Native && hst::kernels::native_conv_supported(p_.cnn, input))
    return hst::kernels::native_conv_forward(p_.cnn, input);  // the whole stack as one node
  at::Tensor x = input;
  for (const auto& s : p_.cnn) {
    switch (s.kind) {
      case CnnStep::CONV:
        x = at::conv1d(x, s.conv.weight, s.conv.bias, {s.conv.stride}, {s.conv.padding}, {s.conv.dilation},
                       s.conv.groups);
        break;
      case CnnStep::BATCH_NORM:
        x = batch_norm_step(s.bn, x);
        break;
      case CnnStep::RELU:
        x = at::relu(x);
        break;
      case CnnStep::MAX_POOL:
        x = at::max_pool1d(x, {s.pool_kernel}, {s.pool_stride});
        break;
    }
  }
  return x;
}

at::Tensor AtenStages::rnn(const at::Tensor& x) const { return recurrent_forward(p_.rnn, x, kernels_); }

at::Tensor AtenStages::dropout(const at::Tensor& summary) const {
  return at::dropout(summary, p_.dropout_p, p_.dropout_training);
}

at::Tensor AtenStages::classifier(const at::Tensor& summary) const {
  return at::linear(summary, p_.fc_weight, p_.fc_bias);
}

at::Tensor network_forward(const NetParams& p, const at::Tensor& x, Kernels kernels) {
  return network_forward(AtenStages(p, kernels), x);
}

}  // namespace hst
