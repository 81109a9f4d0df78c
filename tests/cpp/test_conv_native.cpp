// The hand-written convolution stack against the production forward's
// convolution stage on the library's operators (conv1d, batch_norm, relu,
// max_pool1d): outputs, running statistics and every gradient.
#include <gtest/gtest.h>

#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <ATen/core/grad_mode.h>
#include <torch/csrc/autograd/autograd.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "core/network.h"
#include "kernels/conv_native.h"

namespace {

using hst::CnnStep;

// The oracle: the production forward's convolution stage on torch's own layers.
at::Tensor library_forward(const std::vector<hst::CnnStep>& steps, const at::Tensor& x) {
  hst::NetParams p;
  p.cnn = steps;
  return hst::AtenStages(p, hst::Kernels::Library).cnn(x);
}


struct Case {
  const char* name;
  int64_t B, C, L;
  const char* pattern;  // C conv, B BatchNorm, R ReLU, P max pool; one conv per entry of `channels`
  std::vector<int64_t> channels;
  int64_t k, pad, pool;
  bool conv_bias = true, affine = true, training = true;
  double momentum = 0.1;  // < 0: cumulative average
  bool x_grad = false;
  enum Input { NORMAL, INTEGERS, SHIFTED } input = NORMAL;
  double bn_bias = 0.0;   // BatchNorm bias (negative: many exact ReLU zeros)
  int64_t pool_stride = 0;  // 0: the kernel size
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::vector<CnnStep> make_steps(const Case& c) {
  std::vector<CnnStep> steps;
  int64_t ch = c.C;
  size_t next = 0;
  for (const char* p = c.pattern; *p; ++p) {
    CnnStep s;
    switch (*p) {
      case 'C': {
        const int64_t out = c.channels.at(next++);
        s.kind = CnnStep::CONV;
        const double bound = 1.0 / std::sqrt(double(ch * c.k));
        s.conv.weight = (at::rand({out, ch, c.k}) * 2 - 1).mul_(bound).requires_grad_(true);
        if (c.conv_bias) s.conv.bias = (at::rand({out}) * 2 - 1).mul_(bound).requires_grad_(true);
        s.conv.padding = c.pad;
        ch = out;
        break;
      }
      case 'B':
        s.kind = CnnStep::BATCH_NORM;
        if (c.affine) {
          s.bn.weight = (at::rand({ch}) + 0.5).requires_grad_(true);
          s.bn.bias = (at::randn({ch}) * 0.3 + c.bn_bias).requires_grad_(true);
        }
        s.bn.running_mean = at::randn({ch}) * 0.2;
        s.bn.running_var = at::rand({ch}) + 0.5;
        s.bn.num_batches_tracked = at::full({}, 3, at::kLong);
        s.bn.momentum = c.momentum;
        s.bn.training = c.training;
        break;
      case 'R':
        s.kind = CnnStep::RELU;
        break;
      case 'P':
        s.kind = CnnStep::MAX_POOL;
        s.pool_kernel = c.pool;
        s.pool_stride = c.pool_stride ? c.pool_stride : c.pool;
        break;
    }
    steps.push_back(s);
  }
  return steps;
}

// An independent copy: parameters and buffers cloned, leaves again.
std::vector<CnnStep> clone_steps(const std::vector<CnnStep>& steps) {
  auto leaf = [](const at::Tensor& t) {
    if (!t.defined()) return t;
    return t.detach().clone().requires_grad_(t.requires_grad());
  };
  std::vector<CnnStep> out = steps;
  for (auto& s : out) {
    s.conv.weight = leaf(s.conv.weight);
    s.conv.bias = leaf(s.conv.bias);
    s.bn.weight = leaf(s.bn.weight);
    s.bn.bias = leaf(s.bn.bias);
    s.bn.running_mean = leaf(s.bn.running_mean);
    s.bn.running_var = leaf(s.bn.running_var);
    s.bn.num_batches_tracked = leaf(s.bn.num_batches_tracked);
  }
  return out;
}

// |a - b| <= atol + rtol |b| elementwise, atol relative to the largest value
// of b or `scale`, whichever is larger.
void expect_close(const at::Tensor& a, const at::Tensor& b, const std::string& what, double scale = 0.0,
                  double rtol = 1e-4) {
  ASSERT_TRUE(a.defined()) << what;
  ASSERT_TRUE(b.defined()) << what;
  ASSERT_EQ(a.sizes(), b.sizes()) << what;
  const at::Tensor bd = b.to(at::kDouble), ad = a.to(at::kDouble);
  if (bd.numel()) scale = std::max(scale, bd.abs().max().item<double>());
  const double atol = rtol * scale + 1e-6;
  const at::Tensor excess = (ad - bd).abs() - (bd.abs() * rtol + atol);
  const double worst = excess.numel() ? excess.max().item<double>() : -1.0;
  EXPECT_LE(worst, 0.0) << what << ": max |diff| " << (ad - bd).abs().max().item<double>() << " (scale " << scale
                        << ")";
}

// Parameter gradients with the size of their layer's weight gradient: a
// convolution bias before BatchNorm in training has a gradient that is zero
// but for rounding, which only the size of the sums it comes from bounds.
std::vector<std::pair<at::Tensor, double>> grads_of(const std::vector<CnnStep>& steps) {
  std::vector<std::pair<at::Tensor, double>> out;
  for (const auto& s : steps) {
    const at::Tensor& w = s.kind == CnnStep::CONV ? s.conv.weight : s.bn.weight;
    const double scale = w.defined() && w.grad().defined() ? w.grad().abs().max().item<double>() : 0.0;
    for (const at::Tensor* t : {&s.conv.weight, &s.conv.bias, &s.bn.weight, &s.bn.bias})
      if (t->defined() && t->requires_grad()) out.emplace_back(t->grad(), scale);
  }
  return out;
}

class ConvNativeMatchesLibrary : public ::testing::TestWithParam<Case> {};

TEST_P(ConvNativeMatchesLibrary, ForwardStatisticsAndGradients) {
  const Case& c = GetParam();
  at::manual_seed(7);
  const std::vector<CnnStep> ours = make_steps(c);
  const std::vector<CnnStep> theirs = clone_steps(ours);
  at::Tensor x = at::randn({c.B, c.C, c.L});
  if (c.input == Case::INTEGERS) x = x.mul(2).round();  // exact ties everywhere
  if (c.input == Case::SHIFTED) x = x.add(50.0);       // mean far from zero
  ASSERT_TRUE(hst::kernels::native_conv_supported(ours, x));

  at::Tensor x1 = x.clone().requires_grad_(c.x_grad), x2 = x.clone().requires_grad_(c.x_grad);
  at::Tensor y1 = hst::kernels::native_conv_forward(ours, x1);
  at::Tensor y2 = library_forward(theirs, x2);
  expect_close(y1, y2, "output");
  for (size_t i = 0; i < ours.size(); ++i) {
    if (ours[i].kind != CnnStep::BATCH_NORM) continue;
    expect_close(ours[i].bn.running_mean, theirs[i].bn.running_mean, "running_mean " + std::to_string(i));
    expect_close(ours[i].bn.running_var, theirs[i].bn.running_var, "running_var " + std::to_string(i));
    EXPECT_EQ(ours[i].bn.num_batches_tracked.item<int64_t>(), theirs[i].bn.num_batches_tracked.item<int64_t>());
  }

  const at::Tensor g = at::randn(y2.sizes());
  y1.backward(g);
  y2.backward(g);
  const auto g1 = grads_of(ours), g2 = grads_of(theirs);
  ASSERT_EQ(g1.size(), g2.size());
  for (size_t i = 0; i < g1.size(); ++i)
    expect_close(g1[i].first, g2[i].first, "parameter gradient " + std::to_string(i), g2[i].second);
  if (c.x_grad)
    expect_close(x1.grad(), x2.grad(), "input gradient");
  else
    EXPECT_FALSE(x1.grad().defined());
}

const Case kCases[] = {
    // the network's own stack: (conv, BN, ReLU) per channel count, then a pool
    {"workload_shape", 8, 9, 128, "CBRCBRP", {32, 64}, 5, 2, 2},
    {"one_layer", 3, 4, 17, "CBR", {6}, 3, 1, 1},
    {"three_layers_pool3", 5, 3, 23, "CBRCBRCBRP", {4, 7, 5}, 3, 1, 3, true, true, true, 0.1, true},
    {"kernel1_no_padding", 4, 5, 9, "CBRP", {8}, 1, 0, 2},
    {"even_kernel_pad2", 3, 2, 10, "CBRCBRP", {5, 6}, 4, 2, 2, true, true, true, 0.1, true},
    {"pad3_kernel5", 2, 3, 7, "CBRCBR", {4, 4}, 5, 3, 1, true, true, true, 0.1, true},
    {"length1", 6, 3, 1, "CBRCBR", {4, 5}, 3, 1, 1, true, true, true, 0.1, true},
    {"length2_pool2", 4, 2, 2, "CBRP", {3}, 3, 1, 2},
    {"length5_pool3_rest", 3, 2, 5, "CBRCBRP", {3, 4}, 3, 1, 3, true, true, true, 0.1, true},
    {"length5_pool2_rest", 2, 2, 5, "CBRP", {3}, 5, 2, 2},
    {"batch65", 65, 3, 8, "CBRCBRP", {8, 16}, 5, 2, 2},
    {"no_conv_bias", 4, 3, 12, "CBRCBRP", {5, 6}, 3, 1, 2, false, true, true, 0.1, true},
    {"bn_not_affine", 4, 3, 12, "CBRCBRP", {5, 6}, 3, 1, 2, true, false, true, 0.1, true},
    {"momentum_none", 4, 3, 12, "CBRCBRP", {5, 6}, 3, 1, 2, true, true, true, -1.0},
    {"eval_batch1", 1, 3, 12, "CBRCBRP", {5, 6}, 3, 1, 2, true, true, false, 0.1, true},
    {"eval_not_affine", 3, 3, 12, "CBRCBRP", {5, 6}, 5, 2, 2, false, false, false, 0.1, true},
    // many exact zeros after ReLU, hence ties of zeros in the pooling windows
    {"relu_zeros_ties", 4, 3, 16, "CBRCBRP", {6, 6}, 3, 1, 3, true, true, true, 0.1, true, Case::NORMAL, -1.5},
    // pooling straight on the input: ties between equal integers
    {"pool_first_integer_ties", 3, 4, 11, "PCBR", {5}, 3, 1, 2, true, true, true, 0.1, true, Case::INTEGERS},
    {"overlapping_pool", 3, 4, 11, "CBRP", {5}, 3, 1, 3, true, true, true, 0.1, true, Case::INTEGERS, 0.0, 1},
    // other orders: conv after conv, conv last, lone ReLU, BN without ReLU,
    // a convolution reading (and sending its gradient back through) a pooling
    {"pool_then_conv", 4, 3, 15, "CBRPCBR", {4, 5}, 3, 1, 2, true, true, true, 0.1, true},
    {"conv_conv_conv", 3, 3, 9, "CCC", {4, 5, 2}, 3, 1, 1, true, true, true, 0.1, true},
    {"bn_then_pool_then_relu", 3, 3, 13, "CBPRC", {4, 3}, 3, 2, 2, true, true, true, 0.1, true},
    // no parameters at all: only the input's gradient
    {"pool_only", 3, 4, 9, "P", {}, 1, 0, 2, true, true, true, 0.1, true, Case::INTEGERS},
    {"input_bn_first", 4, 3, 9, "BRCB", {5}, 3, 1, 1, true, true, true, 0.1, true},
    {"large_mean", 4, 3, 20, "CBRP", {5}, 3, 1, 2, true, true, true, 0.1, true, Case::SHIFTED},
};

INSTANTIATE_TEST_SUITE_P(Cases, ConvNativeMatchesLibrary, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// Large passes run on several threads by whole samples; the bits must not
// depend on the thread count (a sample lost or done twice changes them),
// with samples of full length or of lengths 8..128 (chunks by rows).
class ConvNativeThreads : public ::testing::TestWithParam<bool> {};

TEST_P(ConvNativeThreads, SameBitsOnOneAndTwoThreads) {
  const Case c{"threads", 64, 9, 128, "CBRCBRP", {32, 64}, 5, 2, 2, true, true, true, 0.1, true};
  at::manual_seed(3);
  const std::vector<CnnStep> steps = make_steps(c);
  const at::Tensor x = at::randn({c.B, c.C, c.L});
  const at::Tensor g = at::randn({c.B, 64, c.L / 2});
  const at::Tensor lengths = GetParam() ? at::randint(8, c.L + 1, {c.B}, at::kLong) : at::Tensor();
  struct Run {
    at::Tensor y, dx;
    std::vector<CnnStep> steps;
  };
  auto run = [&](int threads) {
    const int before = at::get_num_threads();
    at::set_num_threads(threads);
    Run r{at::Tensor(), at::Tensor(), clone_steps(steps)};
    at::Tensor xi = x.clone().requires_grad_(true);
    r.y = hst::kernels::native_conv_forward(r.steps, xi, lengths);
    r.y.backward(g);
    r.dx = xi.grad();
    at::set_num_threads(before);
    return r;
  };
  const Run one = run(1), two = run(2);
  EXPECT_TRUE(at::equal(one.y, two.y));
  EXPECT_TRUE(at::equal(one.dx, two.dx));
  const auto g1 = grads_of(one.steps), g2 = grads_of(two.steps);
  ASSERT_EQ(g1.size(), g2.size());
  for (size_t i = 0; i < g1.size(); ++i) EXPECT_TRUE(at::equal(g1[i].first, g2[i].first)) << "gradient " << i;
  for (size_t i = 0; i < steps.size(); ++i) {
    if (steps[i].kind == CnnStep::BATCH_NORM) {
      EXPECT_TRUE(at::equal(one.steps[i].bn.running_var, two.steps[i].bn.running_var)) << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, ConvNativeThreads, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "unequal" : "full");
                         });

// Training on a batch with one value per channel is the ValueError that the
// engine's BatchNorm step raises (same words), after the same bookkeeping.
TEST(ConvNative, OneValuePerChannelIsAnError) {
  at::manual_seed(1);
  const Case c{"single", 1, 3, 1, "CBR", {4}, 3, 1, 1};
  const auto steps = make_steps(c);
  const int64_t tracked = steps[1].bn.num_batches_tracked.item<int64_t>();
  const at::Tensor mean_before = steps[1].bn.running_mean.clone();
  std::string got;
  try {
    hst::kernels::native_conv_forward(steps, at::randn({1, 3, 1}));
  } catch (const c10::ValueError& e) {
    got = e.what_without_backtrace();
  }
  EXPECT_NE(got.find("Expected more than 1 value per channel when training, got input size [1, 4, 1]"),
            std::string::npos)
      << got;
  EXPECT_EQ(steps[1].bn.num_batches_tracked.item<int64_t>(), tracked + 1);
  EXPECT_TRUE(at::equal(steps[1].bn.running_mean, mean_before));
}

// Settings the kernels do not handle are left to the library.
TEST(ConvNative, UnsupportedSettingsFallBack) {
  at::manual_seed(2);
  const Case base{"base", 2, 3, 8, "CBRP", {4}, 3, 1, 2};
  const at::Tensor x = at::randn({2, 3, 8});
  struct Variant {
    const char* name;
    void (*edit)(std::vector<CnnStep>&, at::Tensor&);
  };
  const Variant variants[] = {
      {"stride", [](std::vector<CnnStep>& s, at::Tensor&) { s[0].conv.stride = 2; }},
      {"dilation", [](std::vector<CnnStep>& s, at::Tensor&) { s[0].conv.dilation = 2; }},
      {"groups", [](std::vector<CnnStep>& s, at::Tensor&) { s[0].conv.groups = 2; }},
      {"double", [](std::vector<CnnStep>&, at::Tensor& t) { t = t.to(at::kDouble); }},
      {"pool_longer_than_input", [](std::vector<CnnStep>& s, at::Tensor&) { s[3].pool_kernel = 9; }},
      {"kernel_longer_than_input", [](std::vector<CnnStep>& s, at::Tensor&) {
         s[0].conv.weight = at::randn({4, 3, 11});
       }},
      {"channel_mismatch", [](std::vector<CnnStep>& s, at::Tensor&) { s[0].conv.weight = at::randn({4, 2, 3}); }},
      {"empty_batch", [](std::vector<CnnStep>&, at::Tensor& t) { t = t.narrow(0, 0, 0); }},
  };
  {
    auto steps = make_steps(base);
    EXPECT_TRUE(hst::kernels::native_conv_supported(steps, x));
  }
  for (const auto& v : variants) {
    auto steps = make_steps(base);
    at::Tensor input = x;
    v.edit(steps, input);
    EXPECT_FALSE(hst::kernels::native_conv_supported(steps, input)) << v.name;
  }
}

// Inference saves nothing for backward and builds no graph.
TEST(ConvNative, NoGradForwardBuildsNoGraph) {
  at::manual_seed(3);
  const Case c{"nograd", 2, 3, 8, "CBRP", {4}, 3, 1, 2};
  const auto steps = make_steps(c);
  const at::Tensor x = at::randn({2, 3, 8});
  at::Tensor with_grad = hst::kernels::native_conv_forward(steps, x);
  EXPECT_TRUE(with_grad.requires_grad());
  at::NoGradGuard no_grad;
  at::Tensor y = hst::kernels::native_conv_forward(steps, x);
  EXPECT_FALSE(y.requires_grad());
  EXPECT_FALSE(y.grad_fn());
}

}  // namespace

namespace {

// Autograd's usual guarantees hold for the native node as for torch's own
// layers: an in-place edit of the output before backward is an error, not
// silently wrong gradients; retain_graph lets backward run twice.
TEST(ConvNativeAutograd, InPlaceEditOfTheOutputIsRefusedAndRetainGraphRepeats) {
  at::manual_seed(3);
  const Case c{"autograd", 4, 3, 16, "CBRP", {8}, 3, 1, 2};
  const std::vector<CnnStep> steps = make_steps(c);
  at::Tensor x = at::randn({c.B, c.C, c.L});

  // Directly: refused at the edit, as for any custom function's output.
  at::Tensor edited = hst::kernels::native_conv_forward(steps, x);
  EXPECT_THROW(edited.mul_(2.0), c10::Error);
  // Through a detached alias (same memory, same version counter): backward
  // must refuse rather than read the edited values.
  at::Tensor aliased = hst::kernels::native_conv_forward(steps, x);
  aliased.detach().mul_(2.0);
  try {
    aliased.sum().backward();
    ADD_FAILURE() << "backward after an in-place edit of the output must fail";
  } catch (const c10::Error& e) {
    EXPECT_NE(std::string(e.what()).find("inplace"), std::string::npos) << e.what();
  }

  const at::Tensor& w = steps[0].conv.weight;
  w.mutable_grad() = at::Tensor();
  at::Tensor y = hst::kernels::native_conv_forward(steps, x);
  const at::Tensor g = at::randn(y.sizes());
  y.backward(g, /*retain_graph=*/true);
  const at::Tensor first = w.grad().clone();
  y.backward(g);
  EXPECT_TRUE(at::allclose(w.grad(), first * 2, 1e-5, 1e-6)) << "the second backward adds the same gradient";
}

}  // namespace

namespace {

// A pooling window longer than 2^24 positions: the maximum's place in it is
// kept exactly (a float would round 2^24 + 1 to 2^24 and send the gradient to
// two places).
TEST(ConvNative, PoolingWindowsBeyondTwoToThe24KeepTheExactPlace) {
  const int64_t L = (int64_t(1) << 24) + 2, peak = (int64_t(1) << 24) + 1;
  CnnStep pool;
  pool.kind = CnnStep::MAX_POOL;
  pool.pool_kernel = L;
  pool.pool_stride = L;
  const std::vector<CnnStep> steps{pool};
  at::Tensor x = at::zeros({1, 1, L});
  x[0][0][peak] = 1.0f;
  x.requires_grad_(true);
  ASSERT_TRUE(hst::kernels::native_conv_supported(steps, x));
  at::Tensor y = hst::kernels::native_conv_forward(steps, x);
  ASSERT_EQ(y.item<float>(), 1.0f);
  y.sum().backward();
  EXPECT_EQ(x.grad().sum().item<float>(), 1.0f);
  EXPECT_EQ(x.grad()[0][0][peak].item<float>(), 1.0f);
}

}  // namespace

namespace {

// ---------------------------------------------------------------------------
// Samples of unequal length: each sample computed as if it stood alone.

// The lengths as a strided view (every other entry of a longer tensor).
at::Tensor lengths_tensor(const std::vector<int64_t>& v) {
  const int64_t n = static_cast<int64_t>(v.size());
  at::Tensor all = at::zeros({2 * n}, at::kLong);
  at::Tensor view = all.slice(0, 0, 2 * n, 2);
  for (int64_t b = 0; b < n; ++b) view[b] = v[b];
  return view;
}

// Positions [B, 1, L] below each sample's length.
at::Tensor valid_mask(const at::Tensor& lengths, int64_t L) {
  return (at::arange(L, at::kLong).unsqueeze(0) < lengths.unsqueeze(1)).unsqueeze(1);
}

// The stack in training mode on the padded batch with ATen ops: the input
// after each sample's length is zero for each convolution (its own end
// padding), BatchNorm's statistics count valid positions only and update the
// running ones with the unbiased variance over that count; the output is zero
// after each sample's own length.
at::Tensor masked_training_forward(const std::vector<CnnStep>& steps, at::Tensor x, at::Tensor lengths) {
  const at::Tensor zero = at::zeros({}, x.options());
  for (const CnnStep& s : steps) {
    const at::Tensor mask = valid_mask(lengths, x.size(2));
    switch (s.kind) {
      case CnnStep::CONV:
        x = at::conv1d(at::where(mask, x, zero), s.conv.weight, s.conv.bias, {1}, {s.conv.padding});
        break;
      case CnnStep::BATCH_NORM: {
        const hst::BatchNormLayer& bn = s.bn;
        const double n = static_cast<double>(lengths.sum().item<int64_t>());
        const std::vector<int64_t> dims{0, 2};
        const at::Tensor mean = at::where(mask, x, zero).sum(dims) / n;
        const at::Tensor var = at::where(mask, x - mean.view({1, -1, 1}), zero).pow(2).sum(dims) / n;
        x = (x - mean.view({1, -1, 1})) / at::sqrt(var.view({1, -1, 1}) + bn.eps);
        if (bn.weight.defined()) x = x * bn.weight.view({1, -1, 1}) + bn.bias.view({1, -1, 1});
        at::NoGradGuard no_grad;
        bn.running_mean.mul_(1 - bn.momentum).add_(mean.detach() * bn.momentum);
        bn.running_var.mul_(1 - bn.momentum).add_(var.detach() * (n / (n - 1)) * bn.momentum);
        bn.num_batches_tracked.add_(1);
        break;
      }
      case CnnStep::RELU:
        x = at::relu(x);
        break;
      case CnnStep::MAX_POOL:
        x = at::max_pool1d(x, {s.pool_kernel}, {s.pool_stride});
        break;
    }
    lengths = hst::cnn_output_lengths({s}, lengths);
  }
  return at::where(valid_mask(lengths, x.size(2)), x, zero);
}

// Lengths for B samples of at most L positions, `shortest` being the least
// length the stack keeps a position of.
struct LengthsTable {
  const char* name;
  std::vector<int64_t> (*of)(int64_t B, int64_t L, int64_t shortest);
};

const LengthsTable kLengthsTables[] = {
    {"full", [](int64_t B, int64_t L, int64_t) { return std::vector<int64_t>(B, L); }},
    {"one_short",
     [](int64_t B, int64_t L, int64_t shortest) {
       std::vector<int64_t> v(B, L);
       v[1] = shortest;
       return v;
     }},
    {"unsorted",
     [](int64_t B, int64_t L, int64_t shortest) {
       std::vector<int64_t> v(B);
       for (int64_t b = 0; b < B; ++b) v[b] = std::clamp<int64_t>(L - (b * 7) % (L + 1), shortest, L);
       return v;
     }},
    {"shortest", [](int64_t B, int64_t, int64_t shortest) { return std::vector<int64_t>(B, shortest); }},
};

void PrintTo(const LengthsTable& t, std::ostream* os) { *os << t.name; }

// Exactly zero where `mask` ([B, 1, L], broadcast over channels) is false.
void expect_zero_outside(const at::Tensor& t, const at::Tensor& mask, const std::string& what) {
  const at::Tensor outside = at::where(mask, at::zeros({}, t.options()), t);
  EXPECT_EQ(outside.abs().max().item<float>(), 0.0f) << what;
}

const Case kRaggedStacks[] = {
    {"k3", 5, 3, 13, "CBR", {6}, 3, 1, 1},
    {"k4_grows", 5, 3, 13, "CBRCBRP", {5, 6}, 4, 2, 2},
    {"no_conv_bias", 5, 3, 13, "CBRCBRP", {5, 6}, 3, 1, 2, false},
    {"classifier_k5", 5, 3, 13, "CBRCBRP", {8, 16}, 5, 2, 2},
    {"bn_then_pool3", 5, 3, 13, "CBP", {6}, 3, 1, 3},
    {"pool3_then_bn", 5, 3, 13, "CPBR", {6}, 3, 1, 3},
    {"overlapping_pool", 5, 3, 13, "CBRP", {6}, 3, 1, 3, true, true, true, 0.1, true, Case::NORMAL, 0.0, 1},
    {"pool_first_then_conv_conv", 5, 3, 13, "PCCBR", {4, 5}, 3, 1, 2},
};

using RaggedParam = std::tuple<Case, bool, LengthsTable>;  // stack, training, lengths

class ConvNativeLengths : public ::testing::TestWithParam<RaggedParam> {};

TEST_P(ConvNativeLengths, EachSampleAsIfAlone) {
  const auto& [base, training, table] = GetParam();
  Case c = base;
  c.training = training;
  at::manual_seed(11);
  const std::vector<CnnStep> ours = make_steps(c);
  const std::vector<CnnStep> theirs = clone_steps(ours);
  int64_t shortest = 1;
  while (hst::cnn_output_length(ours, shortest) < 1) ++shortest;
  const std::vector<int64_t> len = table.of(c.B, c.L, shortest);
  const at::Tensor lengths = lengths_tensor(len);
  const at::Tensor in_mask = valid_mask(lengths, c.L);
  // garbage after each sample's length: it must not reach anything
  const at::Tensor x = at::where(in_mask, at::randn({c.B, c.C, c.L}), at::full({}, 1e3));
  ASSERT_TRUE(hst::kernels::native_conv_supported(ours, x, lengths));

  at::Tensor x1 = x.clone().requires_grad_(true);
  const at::Tensor y1 = hst::kernels::native_conv_forward(ours, x1, lengths);
  const int64_t Lout = hst::cnn_output_length(ours, c.L);
  ASSERT_EQ(y1.size(2), Lout);
  const at::Tensor out_lengths = hst::cnn_output_lengths(ours, lengths);
  const at::Tensor out_mask = valid_mask(out_lengths, Lout);
  const at::Tensor g = at::randn(y1.sizes());  // nonzero after the lengths too: ignored there
  y1.backward(g);

  at::Tensor y2, dx2;
  if (training) {
    at::Tensor x2 = x.clone().requires_grad_(true);
    y2 = masked_training_forward(theirs, x2, lengths.contiguous());
    y2.backward(g * out_mask);
    dx2 = x2.grad();
  } else {  // the library on each sample alone; parameter gradients add up over samples
    y2 = at::zeros(y1.sizes());
    dx2 = at::zeros(x.sizes());
    for (int64_t b = 0; b < c.B; ++b) {
      const int64_t lo = out_lengths[b].item<int64_t>();
      at::Tensor xb = x.narrow(0, b, 1).narrow(2, 0, len[b]).clone().requires_grad_(true);
      const at::Tensor yb = library_forward(theirs, xb);
      ASSERT_EQ(yb.size(2), lo);
      y2.narrow(0, b, 1).narrow(2, 0, lo).copy_(yb.detach());
      yb.backward(g.narrow(0, b, 1).narrow(2, 0, lo));
      dx2.narrow(0, b, 1).narrow(2, 0, len[b]).copy_(xb.grad());
    }
  }
  expect_close(y1, y2, "output");
  expect_zero_outside(y1, out_mask, "output after the lengths");
  expect_close(x1.grad(), dx2, "input gradient");
  expect_zero_outside(x1.grad(), in_mask, "input gradient after the lengths");
  const auto g1 = grads_of(ours), g2 = grads_of(theirs);
  ASSERT_EQ(g1.size(), g2.size());
  for (size_t i = 0; i < g1.size(); ++i)
    expect_close(g1[i].first, g2[i].first, "parameter gradient " + std::to_string(i), g2[i].second);
  for (size_t i = 0; i < ours.size(); ++i) {
    if (ours[i].kind != CnnStep::BATCH_NORM) continue;
    expect_close(ours[i].bn.running_mean, theirs[i].bn.running_mean, "running_mean " + std::to_string(i));
    expect_close(ours[i].bn.running_var, theirs[i].bn.running_var, "running_var " + std::to_string(i));
    EXPECT_EQ(ours[i].bn.num_batches_tracked.item<int64_t>(), theirs[i].bn.num_batches_tracked.item<int64_t>());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Stacks, ConvNativeLengths,
    ::testing::Combine(::testing::ValuesIn(kRaggedStacks), ::testing::Bool(),
                       ::testing::ValuesIn(kLengthsTables)),
    [](const ::testing::TestParamInfo<RaggedParam>& info) {
      return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_training_" : "_eval_") +
             std::get<2>(info.param).name;
    });

// Lengths the kernels do not take are left to the caller's fallback.
TEST(ConvNativeLengths, UnsupportedLengthsFallBack) {
  at::manual_seed(2);
  const Case c{"base", 3, 3, 8, "CBRP", {4}, 3, 1, 2};
  const auto steps = make_steps(c);
  const at::Tensor x = at::randn({3, 3, 8});
  EXPECT_TRUE(hst::kernels::native_conv_supported(steps, x, lengths_tensor({8, 2, 5})));
  struct Variant {
    const char* name;
    at::Tensor lengths;
  };
  const Variant variants[] = {
      {"too_few", at::tensor({8, 8}, at::kLong)},
      {"too_many", at::tensor({8, 8, 8, 8}, at::kLong)},
      {"zero", at::tensor({8, 0, 8}, at::kLong)},
      {"negative", at::tensor({8, -1, 8}, at::kLong)},
      {"longer_than_x", at::tensor({8, 9, 8}, at::kLong)},
      {"int32", at::tensor({8, 8, 8}, at::kInt)},
      {"two_dims", at::tensor({8, 8, 8}, at::kLong).view({3, 1})},
      {"too_short_for_the_pool", at::tensor({8, 1, 8}, at::kLong)},
  };
  for (const auto& v : variants) {
    EXPECT_FALSE(hst::kernels::native_conv_supported(steps, x, v.lengths)) << v.name;
    EXPECT_THROW(hst::kernels::native_conv_forward(steps, x, v.lengths), c10::Error) << v.name;
  }
}

// Training counts the valid positions: one sample of one position is one
// value per channel, whatever L is.
TEST(ConvNativeLengths, OneValidValuePerChannelIsAnError) {
  at::manual_seed(1);
  const Case c{"single", 2, 3, 5, "CBR", {4}, 3, 1, 1};
  const auto steps = make_steps(c);
  EXPECT_THROW(hst::kernels::native_conv_forward(steps, at::randn({1, 3, 5}), at::tensor({1}, at::kLong)),
               c10::ValueError);
  EXPECT_NO_THROW(hst::kernels::native_conv_forward(steps, at::randn({2, 3, 5}), at::tensor({1, 1}, at::kLong)));
}

}  // namespace
