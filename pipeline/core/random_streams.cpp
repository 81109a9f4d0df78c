#include "core/random_streams.h"

#include <ATen/CPUGeneratorImpl.h>
#include <ATen/core/grad_mode.h>

#include <cmath>
#include <mutex>

namespace hst {

namespace {

// A generator of the same kind as the default one of `device`, independent
// of it, seeded with `seed`.
at::Generator own_generator(const at::Device& device, uint64_t seed) {
  at::Generator base = at::globalContext().defaultGenerator(device);
  at::Generator own;
  {
    std::lock_guard<std::mutex> lock(base.mutex());
    own = base.clone();
  }
  std::lock_guard<std::mutex> lock(own.mutex());
  own.set_current_seed(seed);  // also restarts the stream's position
  return own;
}

uint64_t draw_seed() {
  at::Generator base = at::detail::getDefaultCPUGenerator();
  std::lock_guard<std::mutex> lock(base.mutex());
  return at::check_generator<at::CPUGeneratorImpl>(base)->random64();
}

void uniform(const at::Tensor& t, double bound, at::Generator& gen) {
  if (t.defined() && t.numel() > 0) t.uniform_(-bound, bound, gen);
}

// torch.nn's Kaiming-uniform with a = sqrt(5), written with the same
// floating-point steps: gain = sqrt(2 / (1 + a^2)), bound = sqrt(3) * gain / sqrt(fan_in).
double kaiming_bound(int64_t fan_in) {
  const double a = std::sqrt(5.0);
  const double gain = std::sqrt(2.0 / (1 + a * a));
  const double std_dev = gain / std::sqrt(static_cast<double>(fan_in));
  return std::sqrt(3.0) * std_dev;
}

int64_t fan_in(const at::Tensor& weight) {
  int64_t receptive = 1;
  for (int64_t d = 2; d < weight.dim(); ++d) receptive *= weight.size(d);
  return weight.size(1) * receptive;
}

// A weight and its bias as Conv1d and Linear draw them.
void draw_layer(const at::Tensor& weight, const at::Tensor& bias, at::Generator& gen) {
  const int64_t fan = fan_in(weight);
  uniform(weight, kaiming_bound(fan), gen);
  if (bias.defined()) uniform(bias, fan > 0 ? 1 / std::sqrt(static_cast<double>(fan)) : 0.0, gen);
}

}  // namespace

RandomStreams make_random_streams(uint64_t seed, const at::Device& device) {
  if (seed == 0) seed = draw_seed();
  RandomStreams s;
  s.cpu = own_generator(at::kCPU, seed);
  if (device.is_cuda()) s.cuda = own_generator(device, seed);
  return s;
}

void draw_initial_parameters(const NetParams& net, at::Generator& gen) {
  at::NoGradGuard no_grad;
  for (const CnnStep& s : net.cnn)
    if (s.kind == CnnStep::CONV) draw_layer(s.conv.weight, s.conv.bias, gen);
  const double stdv = net.rnn.hidden_size > 0 ? 1.0 / std::sqrt(static_cast<double>(net.rnn.hidden_size)) : 0.0;
  for (const at::Tensor& w : net.rnn.flat_weights) uniform(w, stdv, gen);
  draw_layer(net.fc_weight, net.fc_bias, gen);
}

namespace {

at::Tensor state_of(at::Generator gen) {
  std::lock_guard<std::mutex> lock(gen.mutex());
  return gen.get_state();
}

}  // namespace

RandomState random_state(const RandomStreams& streams) {
  RandomState state;
  state.cpu = state_of(streams.cpu);
  if (streams.cuda.defined()) state.cuda = state_of(streams.cuda);
  return state;
}

void restore_random_state(RandomStreams& streams, const RandomState& state) {
  {
    std::lock_guard<std::mutex> lock(streams.cpu.mutex());
    streams.cpu.set_state(state.cpu);
  }
  if (streams.cuda.defined() && state.cuda.defined()) {
    std::lock_guard<std::mutex> lock(streams.cuda.mutex());
    streams.cuda.set_state(state.cuda);
  }
}

}  // namespace hst
