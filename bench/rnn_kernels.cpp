// Times forward + backward of the recurrent layer: the hand-written kernels
// against the library's own layers (at::lstm / at::gru + autograd backward).
// Build: tests/cpp/CMakeLists.txt with -DHST_BUILD_BENCH=ON, e.g.
//   HST_CMAKE_ARGS=-DHST_BUILD_BENCH=ON tests/cpp/run.sh && build/cpp-tests/rnn_kernels_bench
// Optional argument: seconds per measurement (default 1).
#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <torch/csrc/autograd/autograd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "rnn_native.h"

namespace {

using hst::RnnKind;
using hst::RnnLayer;

at::Tensor torch_recurrent(const RnnLayer& r, const at::Tensor& x) {
  const int64_t dirs = r.bidirectional ? 2 : 1;
  at::Tensor h0 = at::zeros({r.num_layers * dirs, x.size(0), r.hidden_size}, x.options().requires_grad(false));
  if (r.kind == RnnKind::LSTM)
    return std::get<0>(at::lstm(x, {h0, at::zeros_like(h0)}, r.flat_weights, true, r.num_layers, r.dropout,
                                r.training, r.bidirectional, true));
  return std::get<0>(at::gru(x, h0, r.flat_weights, true, r.num_layers, r.dropout, r.training, r.bidirectional, true));
}

RnnLayer make_layer(RnnKind kind, int64_t input, int64_t hidden, int64_t layers, bool bidirectional) {
  RnnLayer r;
  r.kind = kind;
  r.hidden_size = hidden;
  r.num_layers = layers;
  r.bidirectional = bidirectional;
  const int64_t dirs = bidirectional ? 2 : 1, gh = (kind == RnnKind::LSTM ? 4 : 3) * hidden;
  const double k = 1.0 / std::sqrt(static_cast<double>(hidden));  // torch.nn's default init range
  for (int64_t l = 0; l < layers; ++l) {
    const int64_t in = l == 0 ? input : dirs * hidden;
    for (int64_t d = 0; d < dirs; ++d)
      for (auto shape : {std::vector<int64_t>{gh, in}, std::vector<int64_t>{gh, hidden}, std::vector<int64_t>{gh},
                         std::vector<int64_t>{gh}})
        r.flat_weights.push_back((at::rand(shape) * (2 * k) - k).requires_grad_(true));
  }
  return r;
}

struct Timing {
  double wall_ms, cpu_ms;  // per call: median over rounds of wall-clock and process CPU time
};

double cpu_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

Timing time_call(const std::function<void()>& fn, double seconds) {
  using clock = std::chrono::steady_clock;
  constexpr int kRounds = 7;
  for (int i = 0; i < 3; ++i) fn();
  auto t0 = clock::now();
  fn();
  const double once = std::chrono::duration<double>(clock::now() - t0).count();
  const int reps = std::max(1, static_cast<int>(seconds / kRounds / std::max(once, 1e-6)));
  std::vector<double> wall, cpu;
  for (int k = 0; k < kRounds; ++k) {
    const double c0 = cpu_seconds();
    t0 = clock::now();
    for (int i = 0; i < reps; ++i) fn();
    wall.push_back(std::chrono::duration<double, std::milli>(clock::now() - t0).count() / reps);
    cpu.push_back((cpu_seconds() - c0) * 1e3 / reps);
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  return {wall[kRounds / 2], cpu[kRounds / 2]};
}

// The machine's load average (shared machines make timings noisy).
std::string load_average() {
  std::ifstream f("/proc/loadavg");
  std::string a, b, c;
  if (!(f >> a >> b >> c)) return "unknown";
  return a + " " + b + " " + c;
}

struct Case {
  RnnKind kind;
  int64_t T, layers;
  bool bidirectional;
};

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
  const int64_t B = 64, I = 64, H = 64;
  std::printf("recurrent layer, batch %lld, input %lld, hidden %lld; intra-op threads %d; load average %s\n",
              static_cast<long long>(B), static_cast<long long>(I), static_cast<long long>(H), at::get_num_threads(),
              load_average().c_str());
  std::printf("times in ms per call (median of 7 rounds); ratio = torch / native\n");
  std::printf("%-18s | %-26s | %-26s | %-26s\n", "", "forward+backward, wall", "forward+backward, CPU",
              "forward only (no grad), wall");
  std::printf("%-18s | %8s %8s %8s | %8s %8s %8s | %8s %8s %8s\n", "case", "torch", "native", "ratio", "torch",
              "native", "ratio", "torch", "native", "ratio");
  const std::vector<Case> cases = {
      {RnnKind::LSTM, 64, 1, false}, {RnnKind::LSTM, 4, 1, false}, {RnnKind::GRU, 64, 1, false},
      {RnnKind::GRU, 4, 1, false},   {RnnKind::LSTM, 64, 2, true}, {RnnKind::GRU, 64, 2, true},
  };
  at::manual_seed(0);
  for (const Case& c : cases) {
    RnnLayer r = make_layer(c.kind, I, H, c.layers, c.bidirectional);
    at::Tensor x = at::randn({B, c.T, I}).requires_grad_(true);
    at::Tensor upstream = at::randn({B, c.T, (c.bidirectional ? 2 : 1) * H});
    std::vector<at::Tensor> leaves = r.flat_weights;
    leaves.push_back(x);
    auto train_step = [&](at::Tensor (*fn)(const RnnLayer&, const at::Tensor&)) {
      for (auto& t : leaves) t.mutable_grad().reset();
      at::Tensor out = fn(r, x);
      torch::autograd::backward({out}, {upstream});
    };
    auto inference = [&](at::Tensor (*fn)(const RnnLayer&, const at::Tensor&)) {
      at::NoGradGuard guard;
      fn(r, x);
    };
    const Timing torch_fb = time_call([&] { train_step(torch_recurrent); }, seconds);
    const Timing native_fb = time_call([&] { train_step(hst::native_recurrent_forward); }, seconds);
    const Timing torch_f = time_call([&] { inference(torch_recurrent); }, seconds);
    const Timing native_f = time_call([&] { inference(hst::native_recurrent_forward); }, seconds);
    const std::string name = std::string(c.bidirectional ? "Bi" : "") + (c.kind == RnnKind::LSTM ? "LSTM" : "GRU") +
                             " T=" + std::to_string(c.T) + " L=" + std::to_string(c.layers);
    std::printf("%-18s | %8.3f %8.3f %7.2fx | %8.3f %8.3f %7.2fx | %8.3f %8.3f %7.2fx\n", name.c_str(),
                torch_fb.wall_ms, native_fb.wall_ms, torch_fb.wall_ms / native_fb.wall_ms, torch_fb.cpu_ms,
                native_fb.cpu_ms, torch_fb.cpu_ms / native_fb.cpu_ms, torch_f.wall_ms, native_f.wall_ms,
                torch_f.wall_ms / native_f.wall_ms);
  }
  return 0;
}
