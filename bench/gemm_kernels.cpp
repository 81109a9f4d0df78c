// Times the packed product of the kernels against the BLAS behind at::mm on
// the shapes the training of workloads c (2700x9x128) and d (5000x28x28) runs
// at batch 64, one thread unless OMP_NUM_THREADS / the argument says otherwise.
// Build: tests/cpp/CMakeLists.txt with -DHST_BUILD_BENCH=ON, e.g.
//   HST_CMAKE_ARGS=-DHST_BUILD_BENCH=ON tests/cpp/run.sh && build/cpp-tests/gemm_kernels_bench [seconds]
// Each row is one call site of the kernels: "packed once" rows pack B outside
// the timed loop (a weight matrix fixed for a whole pass), the others pay for
// pack_b on every call, as the kernels do. A is read through the strides the
// call site has (a transposed view for the weight gradients), and so is the
// BLAS's A (at::mm takes the same view).
#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "kernels/gemm_packed.h"

namespace {

using clock_type = std::chrono::steady_clock;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Seconds per call of each function, alternated over rounds (same background
// load for both); medians.
std::pair<double, double> time_pair(const std::function<void()>& f, const std::function<void()>& g, double seconds) {
  constexpr int kRounds = 7;
  for (int i = 0; i < 3; ++i) {
    f();
    g();
  }
  auto t0 = clock_type::now();
  f();
  g();
  const double once = std::chrono::duration<double>(clock_type::now() - t0).count();
  const int reps = std::max(1, static_cast<int>(seconds / kRounds / std::max(once, 1e-7)));
  std::vector<double> tf, tg;
  for (int r = 0; r < kRounds; ++r) {
    t0 = clock_type::now();
    for (int i = 0; i < reps; ++i) f();
    tf.push_back(std::chrono::duration<double>(clock_type::now() - t0).count() / reps);
    t0 = clock_type::now();
    for (int i = 0; i < reps; ++i) g();
    tg.push_back(std::chrono::duration<double>(clock_type::now() - t0).count() / reps);
  }
  return {median(tf), median(tg)};
}

struct Shape {
  const char* name;
  int64_t M, K, N;
  bool a_transposed;  // A read as the transpose of a [K, M] matrix
  bool packed_once;   // B packed outside the timed loop
};

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 0.5;
  // c: conv 9->32->64 (k 5) on 64 x 132 padded rows, LSTM 64 -> 64 over 64 steps.
  // d: conv 28->32->64 on 64 x 32 rows, LSTM 64 -> 64 over 14 steps.
  const std::vector<Shape> shapes = {
      {"c conv1 forward", 8444, 45, 32, false, false},
      {"c conv2 forward", 8444, 160, 64, false, false},
      {"c conv2 weight grad", 160, 8444, 64, true, false},
      {"c conv2 input grad", 8444, 320, 32, false, false},
      {"c lstm input proj", 4096, 64, 256, false, true},
      {"c lstm step", 64, 64, 256, false, true},
      {"c lstm step grad", 64, 256, 64, false, true},
      {"c lstm w_ih grad", 256, 4096, 64, true, false},
      {"c lstm input grad", 4096, 256, 64, false, true},
      {"d conv2 forward", 2044, 160, 64, false, false},
      {"d conv2 weight grad", 160, 2044, 64, true, false},
      {"d lstm input proj", 896, 64, 256, false, true},
      {"d lstm w_ih grad", 256, 896, 64, true, false},
      {"square 512", 512, 512, 512, false, false},
  };
  at::manual_seed(0);
  std::printf("packed product against at::mm (BLAS), %d intra-op thread(s); GFLOP/s, medians of 7 rounds\n",
              at::get_num_threads());
  std::printf("%-22s %6s %6s %6s | %9s %9s | %7s\n", "call site", "M", "K", "N", "ours GF/s", "BLAS GF/s", "ratio");
  for (const Shape& s : shapes) {
    at::Tensor a = s.a_transposed ? at::randn({s.K, s.M}).t() : at::randn({s.M, s.K});
    at::Tensor b = at::randn({s.K, s.N});
    at::Tensor c_ours = at::empty({s.M, s.N}), c_blas = at::empty({s.M, s.N});
    hst::kernels::PackedB fixed = hst::kernels::pack_b(b);
    const float* ap = a.data_ptr<float>();
    auto ours = [&] {
      if (s.packed_once) {
        hst::kernels::gemm_packed(s.M, ap, a.stride(0), a.stride(1), fixed, c_ours.data_ptr<float>(), s.N, false);
      } else {
        hst::kernels::PackedB pb = hst::kernels::pack_b(b);
        hst::kernels::gemm_packed(s.M, ap, a.stride(0), a.stride(1), pb, c_ours.data_ptr<float>(), s.N, false);
      }
    };
    auto blas = [&] { at::mm_out(c_blas, a, b); };
    const auto [t_ours, t_blas] = time_pair(ours, blas, seconds);
    const double max_diff = (c_ours - c_blas).abs().max().item<float>();
    const double flops = 2.0 * s.M * s.K * s.N;
    std::printf("%-22s %6lld %6lld %6lld | %9.1f %9.1f | %6.2fx%s\n", s.name, static_cast<long long>(s.M),
                static_cast<long long>(s.K), static_cast<long long>(s.N), flops / t_ours * 1e-9,
                flops / t_blas * 1e-9, t_blas / t_ours, max_diff > 1e-2 ? "  (results differ!)" : "");
  }
  return 0;
}
