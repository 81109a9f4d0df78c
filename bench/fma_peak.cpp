// Measures one core's float32 multiply-add peak for each instruction set the
// processor offers (AVX-512, AVX2 + FMA): a loop of independent multiply-adds
// on registers only (no loads or stores, no dependency between the sums),
// with enough sums to cover the latency of the multiply-add on both of its
// ports. That is the limit a product or a training call on this core can
// approach; bench.py and bench/peak.py report against it. No torch in it: it
// measures the core, not a library. One thread.
// Build: tests/cpp/CMakeLists.txt with -DHST_BUILD_BENCH=ON, e.g.
//   HST_CMAKE_ARGS=-DHST_BUILD_BENCH=ON tests/cpp/run.sh && build/cpp-tests/fma_peak_bench [seconds]
// (or, after run.sh configured the folder once, `cmake --build build/cpp-tests
// --target fma_peak_bench` alone). Optional argument: seconds per measurement
// (default 0.2). Every count of sums is timed 5 times and the best is kept;
// the lines "peak <isa> <GFLOP/s>" at the end are what bench.py reads.
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

// acc = acc * m + a converges to a / (1 - m): no overflow, no subnormals,
// however long the loop runs.
constexpr float kMul = 0.999999f;
constexpr float kAdd = 1e-6f;

// N independent vector sums, `iters` multiply-adds on each; returns the sum of
// all lanes so the compiler must keep the work. The fixed-size loops are
// unrolled, so the sums live in registers.
template <int N>
__attribute__((target("avx512f"))) float fma_loop_avx512(int64_t iters) {
  __m512 acc[N];
  for (int j = 0; j < N; ++j) acc[j] = _mm512_set1_ps(static_cast<float>(j));
  const __m512 m = _mm512_set1_ps(kMul), a = _mm512_set1_ps(kAdd);
  for (int64_t i = 0; i < iters; ++i) {
#pragma GCC unroll 32
    for (int j = 0; j < N; ++j) acc[j] = _mm512_fmadd_ps(acc[j], m, a);
  }
  __m512 s = acc[0];
  for (int j = 1; j < N; ++j) s = _mm512_add_ps(s, acc[j]);
  return _mm512_reduce_add_ps(s);
}

template <int N>
__attribute__((target("avx2,fma"))) float fma_loop_avx2(int64_t iters) {
  __m256 acc[N];
  for (int j = 0; j < N; ++j) acc[j] = _mm256_set1_ps(static_cast<float>(j));
  const __m256 m = _mm256_set1_ps(kMul), a = _mm256_set1_ps(kAdd);
  for (int64_t i = 0; i < iters; ++i) {
#pragma GCC unroll 32
    for (int j = 0; j < N; ++j) acc[j] = _mm256_fmadd_ps(acc[j], m, a);
  }
  __m256 s = acc[0];
  for (int j = 1; j < N; ++j) s = _mm256_add_ps(s, acc[j]);
  float lanes[8];
  _mm256_storeu_ps(lanes, s);
  float t = 0;
  for (float v : lanes) t += v;
  return t;
}

struct Variant {
  const char* isa;
  int sums;
  int lanes;  // float32 lanes of one vector
  float (*loop)(int64_t);
};

volatile float g_sink;  // keeps every result alive

// GFLOP/s of one variant: best of 5 timed runs of about `seconds` each.
double measure(const Variant& v, double seconds) {
  int64_t iters = 1 << 16;
  for (;;) {  // grow the loop until one run takes a tenth of the time asked
    const auto t0 = clock_type::now();
    g_sink = v.loop(iters);
    const double dt = std::chrono::duration<double>(clock_type::now() - t0).count();
    if (dt > seconds / 10) {
      iters = std::max<int64_t>(iters, static_cast<int64_t>(iters * seconds / dt));
      break;
    }
    iters *= 4;
  }
  double best = 0;
  for (int r = 0; r < 5; ++r) {
    const auto t0 = clock_type::now();
    g_sink = v.loop(iters);
    const double dt = std::chrono::duration<double>(clock_type::now() - t0).count();
    best = std::max(best, 2.0 * v.lanes * v.sums * static_cast<double>(iters) / dt * 1e-9);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 0.2;
  __builtin_cpu_init();
  const bool has_avx512 = __builtin_cpu_supports("avx512f");
  const bool has_avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  // AVX-512 has 32 vector registers, AVX2 16 (two hold the constants).
  const std::vector<Variant> variants = {
      {"avx512", 8, 16, fma_loop_avx512<8>},   {"avx512", 12, 16, fma_loop_avx512<12>},
      {"avx512", 16, 16, fma_loop_avx512<16>}, {"avx512", 24, 16, fma_loop_avx512<24>},
      {"avx2", 8, 8, fma_loop_avx2<8>},        {"avx2", 10, 8, fma_loop_avx2<10>},
      {"avx2", 12, 8, fma_loop_avx2<12>},
  };
  std::printf("float32 multiply-add peak of one core, independent sums in registers; GFLOP/s, best of 5\n");
  std::printf("%-8s %5s %9s\n", "isa", "sums", "GFLOP/s");
  std::vector<std::pair<const char*, double>> peaks;
  for (const Variant& v : variants) {
    const bool offered = std::strcmp(v.isa, "avx512") == 0 ? has_avx512 : has_avx2;
    if (!offered) continue;
    const double gflops = measure(v, seconds);
    std::printf("%-8s %5d %9.1f\n", v.isa, v.sums, gflops);
    if (peaks.empty() || std::strcmp(peaks.back().first, v.isa) != 0) peaks.emplace_back(v.isa, 0.0);
    peaks.back().second = std::max(peaks.back().second, gflops);
  }
  if (!has_avx512) std::printf("avx512: not offered by this processor\n");
  if (!has_avx2) std::printf("avx2: AVX2 with FMA not offered by this processor\n");
  for (const auto& [isa, gflops] : peaks) std::printf("peak %s %.1f\n", isa, gflops);
  return 0;
}
