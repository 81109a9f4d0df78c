// Times forward + backward of the recurrent layer: the hand-written kernels
// against the library's own layers (at::lstm / at::gru + autograd backward).
// Build: tests/cpp/CMakeLists.txt with -DHST_BUILD_BENCH=ON, e.g.
//   HST_CMAKE_ARGS=-DHST_BUILD_BENCH=ON tests/cpp/run.sh && build/cpp-tests/rnn_kernels_bench
// Optional arguments: seconds per measurement (default 1); `lengths` instead
// times the native kernels on a batch of unequal lengths (uniform in 8..T)
// against the same batch padded to T steps.
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
#include <utility>
#include <vector>

#include "core/network.h"
#include "kernels/rnn_native.h"

namespace {

using hst::RnnKind;
using hst::RnnLayer;

at::Tensor torch_recurrent(const RnnLayer& r, const at::Tensor& x) {
  return hst::recurrent_forward(r, x, hst::Kernels::Library);
}

at::Tensor native_full(const RnnLayer& r, const at::Tensor& x) { return hst::kernels::native_recurrent_forward(r, x); }

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

double cpu_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Torch and native timed in alternating rounds so that both see the same
// background load; per call, medians over the rounds.
struct Comparison {
  double torch_ms, native_ms, ratio;  // ratio: median of the per-round torch / native ratios
};

std::pair<Comparison, Comparison> compare(const std::function<void()>& torch_fn,
                                          const std::function<void()>& native_fn, double seconds) {
  using clock = std::chrono::steady_clock;
  constexpr int kRounds = 9;
  for (int i = 0; i < 3; ++i) {
    torch_fn();
    native_fn();
  }
  auto t0 = clock::now();
  torch_fn();
  native_fn();
  const double once = std::chrono::duration<double>(clock::now() - t0).count();
  const int reps = std::max(1, static_cast<int>(seconds / kRounds / std::max(once, 1e-6)));
  std::vector<double> wall[2], cpu[2], wall_ratio, cpu_ratio;
  for (int k = 0; k < kRounds; ++k) {
    for (int which = 0; which < 2; ++which) {
      const auto& fn = which == 0 ? torch_fn : native_fn;
      const double c0 = cpu_seconds();
      t0 = clock::now();
      for (int i = 0; i < reps; ++i) fn();
      wall[which].push_back(std::chrono::duration<double, std::milli>(clock::now() - t0).count() / reps);
      cpu[which].push_back((cpu_seconds() - c0) * 1e3 / reps);
    }
    wall_ratio.push_back(wall[0].back() / wall[1].back());
    cpu_ratio.push_back(cpu[0].back() / std::max(cpu[1].back(), 1e-9));
  }
  return {{median(wall[0]), median(wall[1]), median(wall_ratio)}, {median(cpu[0]), median(cpu[1]), median(cpu_ratio)}};
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

// Native kernels only: samples of lengths uniform in 8..T against all of them
// run for T steps (lengths undefined); both forward + backward and no-grad
// forward.
int lengths_mode(double seconds) {
  const int64_t B = 64, T = 128, I = 64, H = 64;
  at::manual_seed(0);
  const at::Tensor lengths = at::randint(8, T + 1, {B}, at::kLong);
  std::printf("recurrent layer, native kernels, batch %lld, steps %lld, input %lld, hidden %lld; lengths uniform in "
              "8..%lld (sum %lld of %lld); intra-op threads %d; load average %s\n",
              static_cast<long long>(B), static_cast<long long>(T), static_cast<long long>(I),
              static_cast<long long>(H), static_cast<long long>(T), static_cast<long long>(lengths.sum().item<int64_t>()),
              static_cast<long long>(B * T), at::get_num_threads(), load_average().c_str());
  std::printf("ms per call, medians over 9 alternating rounds; ratio = padded / lengths (median per round)\n");
  std::printf("%-18s | %-26s | %-26s\n", "", "forward+backward, wall", "forward only (no grad), wall");
  std::printf("%-18s | %8s %8s %8s | %8s %8s %8s\n", "case", "padded", "lengths", "ratio", "padded", "lengths",
              "ratio");
  const std::vector<Case> cases = {
      {RnnKind::LSTM, T, 1, false}, {RnnKind::GRU, T, 1, false}, {RnnKind::LSTM, T, 2, true}, {RnnKind::GRU, T, 2, true}};
  for (const Case& c : cases) {
    RnnLayer r = make_layer(c.kind, I, H, c.layers, c.bidirectional);
    at::Tensor x = at::randn({B, T, I}).requires_grad_(true);
    at::Tensor upstream = at::randn({B, T, (c.bidirectional ? 2 : 1) * H});
    std::vector<at::Tensor> leaves = r.flat_weights;
    leaves.push_back(x);
    auto train_step = [&](const at::Tensor& len) {
      for (auto& t : leaves) t.mutable_grad().reset();
      at::Tensor out = hst::kernels::native_recurrent_forward(r, x, len);
      torch::autograd::backward({out}, {upstream});
    };
    auto inference = [&](const at::Tensor& len) {
      at::NoGradGuard guard;
      hst::kernels::native_recurrent_forward(r, x, len);
    };
    const Comparison fb = compare([&] { train_step({}); }, [&] { train_step(lengths); }, seconds).first;
    const Comparison fwd = compare([&] { inference({}); }, [&] { inference(lengths); }, seconds).first;
    const std::string name = std::string(c.bidirectional ? "Bi" : "") + (c.kind == RnnKind::LSTM ? "LSTM" : "GRU") +
                             " T=" + std::to_string(c.T) + " L=" + std::to_string(c.layers);
    std::printf("%-18s | %8.3f %8.3f %7.2fx | %8.3f %8.3f %7.2fx\n", name.c_str(), fb.torch_ms, fb.native_ms, fb.ratio,
                fwd.torch_ms, fwd.native_ms, fwd.ratio);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
  if (argc > 2 && std::string(argv[2]) == "lengths") return lengths_mode(seconds);
  const int64_t B = 64, I = 64, H = 64;
  std::printf("recurrent layer, batch %lld, input %lld, hidden %lld; intra-op threads %d; load average %s\n",
              static_cast<long long>(B), static_cast<long long>(I), static_cast<long long>(H), at::get_num_threads(),
              load_average().c_str());
  std::printf("ms per call, medians over 9 alternating rounds; ratio = torch / native (median per round)\n");
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
    const auto [fb_wall, fb_cpu] = compare([&] { train_step(torch_recurrent); },
                                           [&] { train_step(native_full); }, seconds);
    const auto fwd = compare([&] { inference(torch_recurrent); }, [&] { inference(native_full); },
                             seconds)
                         .first;
    const std::string name = std::string(c.bidirectional ? "Bi" : "") + (c.kind == RnnKind::LSTM ? "LSTM" : "GRU") +
                             " T=" + std::to_string(c.T) + " L=" + std::to_string(c.layers);
    std::printf("%-18s | %8.3f %8.3f %7.2fx | %8.3f %8.3f %7.2fx | %8.3f %8.3f %7.2fx\n", name.c_str(),
                fb_wall.torch_ms, fb_wall.native_ms, fb_wall.ratio, fb_cpu.torch_ms, fb_cpu.native_ms, fb_cpu.ratio,
                fwd.torch_ms, fwd.native_ms, fwd.ratio);
  }
  return 0;
}
