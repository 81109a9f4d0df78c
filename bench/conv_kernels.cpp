// Times forward + backward (training mode) of the convolution stack
// Conv1d+BatchNorm1d+ReLU per channel count, then MaxPool1d: the hand-written
// kernels against the same steps through the library's operators and
// autograd; then the hand-written kernels on samples of unequal length
// against the same batch at full length. One thread, with the caching host
// allocator that the training loop runs under.
// Build: tests/cpp/CMakeLists.txt with -DHST_BUILD_BENCH=ON, e.g.
//   HST_CMAKE_ARGS=-DHST_BUILD_BENCH=ON tests/cpp/run.sh && build/cpp-tests/conv_kernels_bench
// Optional argument: seconds per measurement (default 1).
#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <torch/csrc/autograd/autograd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "core/network.h"
#include "kernels/conv_native.h"
#include "runtime/host_allocator.h"

namespace {

// The oracle: the production forward's convolution stage on torch's own layers.
at::Tensor library_forward(const std::vector<hst::CnnStep>& steps, const at::Tensor& x) {
  hst::NetParams p;
  p.cnn = steps;
  return hst::AtenStages(p, hst::Kernels::Library).cnn(x);
}

using hst::CnnStep;

std::vector<CnnStep> make_stack(int64_t features, std::vector<int64_t> channels, int64_t k, int64_t pool) {
  std::vector<CnnStep> steps;
  int64_t in = features;
  for (int64_t out : channels) {
    CnnStep conv;
    conv.kind = CnnStep::CONV;
    conv.conv.weight = (at::randn({out, in, k}) / std::sqrt(double(in * k))).requires_grad_(true);
    conv.conv.bias = at::zeros({out}).requires_grad_(true);
    conv.conv.padding = k / 2;
    CnnStep bn;
    bn.kind = CnnStep::BATCH_NORM;
    bn.bn.weight = at::ones({out}).requires_grad_(true);
    bn.bn.bias = at::zeros({out}).requires_grad_(true);
    bn.bn.running_mean = at::zeros({out});
    bn.bn.running_var = at::ones({out});
    bn.bn.num_batches_tracked = at::zeros({}, at::kLong);
    bn.bn.training = true;
    CnnStep relu;
    relu.kind = CnnStep::RELU;
    steps.insert(steps.end(), {conv, bn, relu});
    in = out;
  }
  if (pool > 1) {
    CnnStep p;
    p.kind = CnnStep::MAX_POOL;
    p.pool_kernel = p.pool_stride = pool;
    steps.push_back(p);
  }
  return steps;
}

// Median milliseconds of one call over about `seconds`.
double time_ms(const std::function<void()>& f, double seconds) {
  using clock = std::chrono::steady_clock;
  for (int i = 0; i < 3; ++i) f();
  std::vector<double> ms;
  const auto start = clock::now();
  while (ms.size() < 5 || (std::chrono::duration<double>(clock::now() - start).count() < seconds && ms.size() < 2000)) {
    const auto t0 = clock::now();
    f();
    ms.push_back(std::chrono::duration<double, std::milli>(clock::now() - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
  at::set_num_threads(1);
  at::manual_seed(0);
  hst::HostAllocatorScope caching;
  struct Shape {
    int64_t B, F, L;
  };
  const Shape shapes[] = {{64, 9, 128}, {64, 8, 8}, {64, 1, 4}, {64, 28, 28}};
  std::printf("%-16s %12s %12s %8s   (forward + backward, channels [32, 64], k5, pool 2, 1 thread)\n", "x [B, F, L]",
              "native ms", "library ms", "ratio");
  for (const auto& s : shapes) {
    const auto steps = make_stack(s.F, {32, 64}, 5, 2);
    const at::Tensor x = at::randn({s.B, s.F, s.L});
    auto params = [&] {
      std::vector<at::Tensor> out;
      for (const auto& st : steps)
        for (const at::Tensor* t : {&st.conv.weight, &st.conv.bias, &st.bn.weight, &st.bn.bias})
          if (t->defined()) out.push_back(*t);
      return out;
    }();
    auto run = [&](bool native) {
      at::Tensor y = native ? hst::kernels::native_conv_forward(steps, x) : library_forward(steps, x);
      const at::Tensor g = at::ones_like(y);
      torch::autograd::grad({y}, params, {g});
    };
    const double native_ms = time_ms([&] { run(true); }, seconds);
    const double library_ms = time_ms([&] { run(false); }, seconds);
    char name[64];
    std::snprintf(name, sizeof name, "[%ld, %ld, %ld]", (long)s.B, (long)s.F, (long)s.L);
    std::printf("%-16s %12.3f %12.3f %8.2f\n", name, native_ms, library_ms, library_ms / native_ms);
  }

  // Unequal lengths: the work follows the sum of the lengths, not B x L.
  {
    const int64_t B = 64, F = 12, L = 128;
    const auto steps = make_stack(F, {32, 64}, 5, 2);
    const at::Tensor x = at::randn({B, F, L});
    const at::Tensor lengths = at::randint(8, L + 1, {B}, at::kLong);
    std::vector<at::Tensor> params;
    for (const auto& st : steps)
      for (const at::Tensor* t : {&st.conv.weight, &st.conv.bias, &st.bn.weight, &st.bn.bias})
        if (t->defined()) params.push_back(*t);
    auto run = [&](const at::Tensor& len) {
      at::Tensor y = hst::kernels::native_conv_forward(steps, x, len);
      torch::autograd::grad({y}, params, {at::ones_like(y)});
    };
    const double full_ms = time_ms([&] { run(at::Tensor()); }, seconds);
    const double ragged_ms = time_ms([&] { run(lengths); }, seconds);
    std::printf("\n%-16s %12s %12s %8s   (native, forward + backward, lengths uniform in 8..%ld, sum %ld of %ld)\n",
                "x [B, F, L]", "lengths ms", "full ms", "ratio", (long)L, (long)lengths.sum().item<int64_t>(),
                (long)(B * L));
    std::printf("[%ld, %ld, %ld]     %12.3f %12.3f %8.2f\n", (long)B, (long)F, (long)L, ragged_ms, full_ms,
                full_ms / ragged_ms);
  }
  return 0;
}
