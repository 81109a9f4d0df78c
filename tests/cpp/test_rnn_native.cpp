// The hand-written recurrent kernels against the library's own recurrent
// layers (at::lstm / at::gru / at::rnn_*), forward and backward.
#include <gtest/gtest.h>

#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <ATen/core/grad_mode.h>
#include <torch/csrc/autograd/autograd.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/network.h"
#include "kernels/rnn_native.h"

namespace {

using hst::RnnKind;
using hst::RnnLayer;

const char* kind_name(RnnKind k) {
  switch (k) {
    case RnnKind::LSTM:
      return "LSTM";
    case RnnKind::GRU:
      return "GRU";
    case RnnKind::RNN_RELU:
      return "RNN_RELU";
    default:
      return "RNN_TANH";
  }
}

int64_t gates_of(RnnKind k) { return k == RnnKind::LSTM ? 4 : k == RnnKind::GRU ? 3 : 1; }

// The oracle: the production forward's recurrent stage on torch's own layers.
at::Tensor torch_recurrent(const RnnLayer& r, const at::Tensor& x) {
  return hst::recurrent_forward(r, x, hst::Kernels::Library);
}

// Uniform weights scaled to each matrix's width: wide enough to drive the
// gates into their nonlinear range, small enough that the recurrence does not
// turn chaotic (which would amplify every rounding difference).
RnnLayer make_layer(RnnKind kind, int64_t input, int64_t hidden, int64_t layers, bool bidirectional) {
  RnnLayer r;
  r.kind = kind;
  r.hidden_size = hidden;
  r.num_layers = layers;
  r.bidirectional = bidirectional;
  const int64_t dirs = bidirectional ? 2 : 1, gh = gates_of(kind) * hidden;
  auto uniform = [](std::vector<int64_t> shape, double scale) {
    return (at::rand(shape) * (2 * scale) - scale).requires_grad_(true);
  };
  for (int64_t l = 0; l < layers; ++l) {
    const int64_t in = l == 0 ? input : dirs * hidden;
    for (int64_t d = 0; d < dirs; ++d) {
      r.flat_weights.push_back(uniform({gh, in}, 1.7 / std::sqrt(double(in))));
      r.flat_weights.push_back(uniform({gh, hidden}, 1.2 / std::sqrt(double(hidden))));
      r.flat_weights.push_back(uniform({gh}, 0.5));
      r.flat_weights.push_back(uniform({gh}, 0.5));
    }
  }
  return r;
}

// A fresh leaf copy of the layer's weights, so two runs keep apart.
RnnLayer fresh_copy(const RnnLayer& r) {
  RnnLayer c = r;
  for (auto& w : c.flat_weights) w = w.detach().clone().requires_grad_(true);
  return c;
}

struct Result {
  at::Tensor out;
  std::vector<at::Tensor> grads;  // input first (when it requires grad), then the flat weights
};

template <typename F>
Result forward_backward(F&& fn, const RnnLayer& r, const at::Tensor& x, const at::Tensor& upstream) {
  RnnLayer rr = fresh_copy(r);
  at::Tensor xx = x.detach();
  std::vector<at::Tensor> inputs;
  if (x.requires_grad()) {
    xx.requires_grad_(true);
    inputs.push_back(xx);
  }
  for (const auto& w : rr.flat_weights) inputs.push_back(w);
  Result res;
  res.out = fn(rr, xx);
  res.grads = torch::autograd::grad({res.out}, inputs, {upstream});
  res.out = res.out.detach();
  return res;
}

at::Tensor native(const RnnLayer& r, const at::Tensor& x) { return hst::kernels::native_recurrent_forward(r, x); }

// |got - want| <= rtol |want| + atol max(1, max |want|) everywhere (NaN
// fails): float32 rounding, allowing for sums whose terms cancel.
::testing::AssertionResult close(const at::Tensor& got, const at::Tensor& want, double rtol = 2e-5,
                                 double atol = 2e-6) {
  if (!got.defined() || got.sizes() != want.sizes())
    return ::testing::AssertionFailure() << "shape " << (got.defined() ? got.sizes() : at::IntArrayRef{})
                                         << " != " << want.sizes();
  at::Tensor diff = (got - want).abs();
  const double scale = std::max(1.0, want.abs().max().item<double>());
  if ((diff <= atol * scale + rtol * want.abs()).all().item<bool>()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "max |diff| " << diff.max().item<double>() << " (max |want| "
                                       << want.abs().max().item<double>() << ")";
}

void expect_same_result(const Result& got, const Result& want) {
  EXPECT_TRUE(close(got.out, want.out)) << "output";
  ASSERT_EQ(got.grads.size(), want.grads.size());
  for (size_t i = 0; i < got.grads.size(); ++i) EXPECT_TRUE(close(got.grads[i], want.grads[i])) << "gradient " << i;
}

// ---------------------------------------------------------------------------

using StackCase = std::tuple<RnnKind, bool, int64_t>;  // kind, bidirectional, layers

class NativeMatchesTorch : public ::testing::TestWithParam<StackCase> {};

TEST_P(NativeMatchesTorch, OutputAndGradients) {
  const auto [kind, bidirectional, layers] = GetParam();
  int case_no = 0;
  for (int64_t B : {1, 3})
    for (int64_t T : {1, 2, 5, 17})
      for (int64_t I : {1, 7})
        for (int64_t H : {1, 5, 33}) {
          SCOPED_TRACE("B=" + std::to_string(B) + " T=" + std::to_string(T) + " I=" + std::to_string(I) +
                       " H=" + std::to_string(H));
          at::manual_seed(1000 + case_no);
          RnnLayer r = make_layer(kind, I, H, layers, bidirectional);
          // every other case reads the input through a transposed view, as the
          // network does after its convolutions
          at::Tensor x = case_no % 2 ? at::randn({B, I, T}).transpose(1, 2) : at::randn({B, T, I});
          x.requires_grad_(true);
          at::Tensor upstream = at::randn({B, T, (bidirectional ? 2 : 1) * H});
          ++case_no;
          ASSERT_TRUE(hst::kernels::native_recurrent_supported(r, x));
          const Result want = forward_backward(torch_recurrent, r, x, upstream);
          expect_same_result(forward_backward(native, r, x, upstream), want);
          // without gradients the input is read in place, step by step
          at::NoGradGuard no_grad;
          EXPECT_TRUE(close(native(fresh_copy(r), x.detach()), want.out)) << "no-grad output";
        }
}

INSTANTIATE_TEST_SUITE_P(AllStacks, NativeMatchesTorch,
                         ::testing::Combine(::testing::Values(RnnKind::RNN_TANH, RnnKind::RNN_RELU, RnnKind::LSTM,
                                                              RnnKind::GRU),
                                            ::testing::Bool(), ::testing::Values<int64_t>(1, 2, 3)),
                         [](const ::testing::TestParamInfo<StackCase>& info) {
                           return std::string(kind_name(std::get<0>(info.param))) +
                                  (std::get<1>(info.param) ? "_bi_" : "_uni_") +
                                  std::to_string(std::get<2>(info.param)) + "layers";
                         });

TEST(NativeRecurrent, LargerShapesMatchTorch) {
  // enough rows and steps that the products run over several row and depth
  // blocks (T * B > 256 inside the weight gradients)
  at::manual_seed(3);
  for (RnnKind kind : {RnnKind::LSTM, RnnKind::GRU, RnnKind::RNN_TANH}) {
    SCOPED_TRACE(kind_name(kind));
    RnnLayer r = make_layer(kind, 20, 40, 2, /*bidirectional=*/true);
    at::Tensor x = at::randn({37, 11, 20}).requires_grad_(true);
    at::Tensor upstream = at::randn({37, 11, 80});
    expect_same_result(forward_backward(native, r, x, upstream), forward_backward(torch_recurrent, r, x, upstream));
  }
}

// A direction runs as blocks of batch rows, one thread per block range; the
// bits (outputs, every gradient, the no-grad output) must not depend on the
// thread count (a block lost, done twice or summed in another order changes them).
// Also with lengths, where the rows split over the threads by their share of
// the work: the bits must not depend on the thread count.
TEST(NativeRecurrent, SameBitsOnOneAndThreeThreads) {
  at::manual_seed(5);
  for (bool with_lengths : {false, true})
  for (RnnKind kind : {RnnKind::LSTM, RnnKind::GRU, RnnKind::RNN_TANH}) {
    SCOPED_TRACE(std::string(kind_name(kind)) + (with_lengths ? " with lengths" : ""));
    const RnnLayer r = make_layer(kind, 24, 48, 2, /*bidirectional=*/true);
    const at::Tensor x = at::randn({45, 30, 24}), upstream = at::randn({45, 30, 96});
    const at::Tensor lengths = with_lengths ? at::randint(1, 31, {45}, at::kLong) : at::Tensor();
    auto forward = [&](const RnnLayer& rr, const at::Tensor& xx) {
      return hst::kernels::native_recurrent_forward(rr, xx, lengths);
    };
    auto run = [&](int threads) {
      const int before = at::get_num_threads();
      at::set_num_threads(threads);
      Result res = forward_backward(forward, r, x.clone().requires_grad_(true), upstream);
      at::NoGradGuard no_grad;
      res.grads.push_back(forward(fresh_copy(r), x));
      at::set_num_threads(before);
      return res;
    };
    const Result one = run(1), three = run(3);
    EXPECT_TRUE(at::equal(one.out, three.out));
    ASSERT_EQ(one.grads.size(), three.grads.size());
    for (size_t i = 0; i < one.grads.size(); ++i) EXPECT_TRUE(at::equal(one.grads[i], three.grads[i])) << i;
  }
}

TEST(NativeRecurrent, WeightGradientsWhenInputIsConstant) {
  at::manual_seed(7);
  for (RnnKind kind : {RnnKind::LSTM, RnnKind::GRU, RnnKind::RNN_TANH}) {
    SCOPED_TRACE(kind_name(kind));
    RnnLayer r = make_layer(kind, 4, 6, 2, /*bidirectional=*/true);
    at::Tensor x = at::randn({3, 5, 4});  // no requires_grad
    at::Tensor upstream = at::randn({3, 5, 12});
    expect_same_result(forward_backward(native, r, x, upstream), forward_backward(torch_recurrent, r, x, upstream));
  }
}

TEST(NativeRecurrentDropout, EvalModeAndNoGradAreNoOps) {
  at::manual_seed(11);
  for (RnnKind kind : {RnnKind::LSTM, RnnKind::GRU, RnnKind::RNN_TANH}) {
    SCOPED_TRACE(kind_name(kind));
    RnnLayer r = make_layer(kind, 5, 8, 3, /*bidirectional=*/true);
    r.dropout = 0.5;
    r.training = false;
    at::Tensor x = at::randn({4, 6, 5}).requires_grad_(true);
    at::Tensor upstream = at::randn({4, 6, 16});
    RnnLayer plain = r;
    plain.dropout = 0.0;

    at::manual_seed(3);
    Result got = forward_backward(native, r, x, upstream);
    at::Tensor next_draw = at::rand({4});
    at::manual_seed(3);
    EXPECT_TRUE(at::equal(next_draw, at::rand({4}))) << "eval mode drew random numbers";

    expect_same_result(got, forward_backward(native, plain, x, upstream));
    expect_same_result(got, forward_backward(torch_recurrent, r, x, upstream));
    at::Tensor no_grad_out;
    {
      at::NoGradGuard guard;
      no_grad_out = native(r, x);
    }
    EXPECT_TRUE(at::equal(no_grad_out, got.out)) << "inference path differs from the autograd path";
  }
}

TEST(NativeRecurrentDropout, SeededTrainingMatchesTorch) {
  for (RnnKind kind : {RnnKind::LSTM, RnnKind::GRU, RnnKind::RNN_TANH})
    for (bool bidirectional : {false, true})
      for (int64_t layers : {2, 3})
        for (double p : {0.3, 1.0}) {
          SCOPED_TRACE(std::string(kind_name(kind)) + (bidirectional ? " bi" : " uni") + " layers=" +
                       std::to_string(layers) + " p=" + std::to_string(p));
          at::manual_seed(23);
          RnnLayer r = make_layer(kind, 3, 7, layers, bidirectional);
          r.dropout = p;
          r.training = true;
          at::Tensor x = at::randn({5, 4, 3}).requires_grad_(true);
          at::Tensor upstream = at::randn({5, 4, (bidirectional ? 2 : 1) * 7});

          at::manual_seed(99);
          Result want = forward_backward(torch_recurrent, r, x, upstream);
          at::Tensor want_next = at::rand({4});
          at::manual_seed(99);
          Result got = forward_backward(native, r, x, upstream);
          at::Tensor got_next = at::rand({4});

          expect_same_result(got, want);
          EXPECT_TRUE(at::equal(got_next, want_next)) << "random stream left in a different place";
          RnnLayer eval = r;
          eval.training = false;
          EXPECT_FALSE(at::allclose(got.out, forward_backward(native, eval, x, upstream).out))
              << "dropout changed nothing";
        }
}

TEST(NativeRecurrent, SupportedOnlyForWhatItHandles) {
  struct Case {
    const char* what;
    bool expected;
    std::function<void(RnnLayer&, at::Tensor&)> change;
  };
  const std::vector<Case> cases = {
      {"baseline", true, [](RnnLayer&, at::Tensor&) {}},
      {"relu cells", true, [](RnnLayer& r, at::Tensor&) { r = make_layer(RnnKind::RNN_RELU, 4, 6, 2, true); }},
      {"dropout 1", true, [](RnnLayer& r, at::Tensor&) { r.dropout = 1.0; }},
      {"float64 input", false, [](RnnLayer&, at::Tensor& x) { x = x.to(at::kDouble); }},
      {"float64 weight", false, [](RnnLayer& r, at::Tensor&) { r.flat_weights[5] = r.flat_weights[5].to(at::kDouble); }},
      {"2-d input", false, [](RnnLayer&, at::Tensor& x) { x = x[0]; }},
      {"no steps", false, [](RnnLayer&, at::Tensor& x) { x = x.narrow(1, 0, 0); }},
      {"time-major", false, [](RnnLayer& r, at::Tensor&) { r.batch_first = false; }},
      {"no biases", false, [](RnnLayer& r, at::Tensor&) { r.has_biases = false; }},
      {"dropout > 1", false, [](RnnLayer& r, at::Tensor&) { r.dropout = 1.5; }},
      {"missing weights", false, [](RnnLayer& r, at::Tensor&) { r.flat_weights.pop_back(); }},
      {"wrong input size", false, [](RnnLayer&, at::Tensor& x) { x = at::randn({2, 3, 5}); }},
      {"wrong hidden size", false, [](RnnLayer& r, at::Tensor&) { r.hidden_size = 5; }},
      {"gate count of another kind", false, [](RnnLayer& r, at::Tensor&) { r.kind = RnnKind::GRU; }},
  };
  for (const auto& c : cases) {
    RnnLayer r = make_layer(RnnKind::LSTM, 4, 6, 2, /*bidirectional=*/true);
    at::Tensor x = at::randn({2, 3, 4});
    c.change(r, x);
    EXPECT_EQ(hst::kernels::native_recurrent_supported(r, x), c.expected) << c.what;
  }
  RnnLayer r = make_layer(RnnKind::LSTM, 4, 6, 1, false);
  EXPECT_THROW(hst::kernels::native_recurrent_forward(r, at::randn({2, 3, 4}, at::kDouble)), c10::Error);
}

// ---------------------------------------------------------------------------
// Samples of unequal lengths: each sample must come out as if it stood alone
// with its own steps, run by the library's layers.

at::Tensor lengths_tensor(const std::vector<int64_t>& lengths, bool strided) {
  if (!strided) return at::tensor(lengths, at::kLong);
  std::vector<int64_t> spread;  // every other entry: a view of stride 2
  for (int64_t l : lengths) spread.insert(spread.end(), {l, -7});
  return at::tensor(spread, at::kLong).slice(0, 0, static_cast<int64_t>(spread.size()), 2);
}

// Each sample b alone on its first lengths[b] steps, with the upstream
// gradient of those steps: its output and input gradient, and the weight
// gradients summed over the samples.
Result per_sample_oracle(const RnnLayer& r, const at::Tensor& x, const std::vector<int64_t>& lengths,
                         const at::Tensor& upstream) {
  const int64_t B = x.size(0), T = x.size(1);
  Result res;
  res.out = at::zeros({B, T, upstream.size(2)});
  at::Tensor dx = at::zeros_like(x);
  res.grads.assign(1 + r.flat_weights.size(), at::Tensor());
  for (int64_t b = 0; b < B; ++b) {
    const int64_t len = lengths[b];
    const Result one = forward_backward(torch_recurrent, r, x.narrow(0, b, 1).narrow(1, 0, len),
                                        upstream.narrow(0, b, 1).narrow(1, 0, len));
    res.out.narrow(0, b, 1).narrow(1, 0, len).copy_(one.out);
    dx.narrow(0, b, 1).narrow(1, 0, len).copy_(one.grads[0]);
    for (size_t k = 1; k < one.grads.size(); ++k)
      res.grads[k] = res.grads[k].defined() ? res.grads[k] + one.grads[k] : one.grads[k];
  }
  res.grads[0] = dx;
  return res;
}

using LengthsCase = std::tuple<RnnKind, bool, int64_t>;  // kind, bidirectional, layers

class NativeRecurrentLengths : public ::testing::TestWithParam<LengthsCase> {};

TEST_P(NativeRecurrentLengths, EachSampleAsIfAlone) {
  const auto [kind, bidirectional, layers] = GetParam();
  const int64_t T = 9, I = 5, H = 17, DH = (bidirectional ? 2 : 1) * H;
  struct Table {
    const char* what;
    std::vector<int64_t> lengths;
  };
  const std::vector<Table> tables = {
      {"all T", {9, 9, 9}},
      // more samples than one block of rows, so that blocks end mid-step
      {"very short among long", {9, 8, 1, 9, 7, 9, 2, 6, 9, 5, 9}},
      {"unsorted", {3, 7, 5, 9, 1, 4}},
      {"ties keep their order", {5, 2, 5, 5, 2}},
      {"none reaches T", {4, 6, 2}},
      {"1 everywhere", {1, 1, 1, 1}},
  };
  int case_no = 0;
  for (bool dropout : {false, true}) {
    if (dropout && layers == 1) continue;
    for (const Table& c : tables) {
      SCOPED_TRACE(std::string(c.what) + (dropout ? ", dropout 1 in training" : ""));
      at::manual_seed(2000 + case_no);
      RnnLayer r = make_layer(kind, I, H, layers, bidirectional);
      if (dropout) {  // every layer above the first reads zeros: deterministic, so the library can tell
        r.dropout = 1.0;
        r.training = true;
      }
      const int64_t B = static_cast<int64_t>(c.lengths.size());
      at::Tensor x = case_no % 2 ? at::randn({B, I, T}).transpose(1, 2) : at::randn({B, T, I});
      x.requires_grad_(true);
      // nonzero at the padded steps too: backward must ignore them there
      const at::Tensor upstream = at::randn({B, T, DH});
      const at::Tensor lengths = lengths_tensor(c.lengths, case_no % 2 == 1);
      ++case_no;
      ASSERT_TRUE(hst::kernels::native_recurrent_supported(r, x, lengths));
      auto with_lengths = [&](const RnnLayer& rr, const at::Tensor& xx) {
        return hst::kernels::native_recurrent_forward(rr, xx, lengths);
      };
      const Result got = forward_backward(with_lengths, r, x, upstream);
      const Result want = per_sample_oracle(r, x, c.lengths, upstream);
      expect_same_result(got, want);
      for (int64_t b = 0; b < B; ++b) {
        const int64_t len = c.lengths[b];
        EXPECT_TRUE(at::equal(got.out[b].narrow(0, len, T - len), at::zeros({T - len, DH}))) << "output, sample " << b;
        EXPECT_TRUE(at::equal(got.grads[0][b].narrow(0, len, T - len), at::zeros({T - len, I})))
            << "input gradient, sample " << b;
      }
      {
        at::NoGradGuard no_grad;
        EXPECT_TRUE(at::equal(with_lengths(fresh_copy(r), x.detach()), got.out)) << "no-grad output";
      }
      if (std::all_of(c.lengths.begin(), c.lengths.end(), [&](int64_t l) { return l == T; })) {
        const Result plain = forward_backward(native, r, x, upstream);
        EXPECT_TRUE(at::equal(got.out, plain.out)) << "all of length T differs from no lengths";
        for (size_t k = 0; k < got.grads.size(); ++k) EXPECT_TRUE(at::equal(got.grads[k], plain.grads[k])) << k;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllStacks, NativeRecurrentLengths,
                         ::testing::Combine(::testing::Values(RnnKind::RNN_TANH, RnnKind::RNN_RELU, RnnKind::LSTM,
                                                              RnnKind::GRU),
                                            ::testing::Bool(), ::testing::Values<int64_t>(1, 2)),
                         [](const ::testing::TestParamInfo<LengthsCase>& info) {
                           return std::string(kind_name(std::get<0>(info.param))) +
                                  (std::get<1>(info.param) ? "_bi_" : "_uni_") +
                                  std::to_string(std::get<2>(info.param)) + "layers";
                         });

TEST(NativeRecurrentLengthsSupport, OnlyLengthsWithinTheSteps) {
  const RnnLayer r = make_layer(RnnKind::GRU, 4, 6, 1, false);
  const at::Tensor x = at::randn({3, 5, 4});
  struct Case {
    const char* what;
    at::Tensor lengths;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"undefined", at::Tensor(), true},
      {"1 and T", at::tensor(std::vector<int64_t>{1, 5, 3}, at::kLong), true},
      {"strided", lengths_tensor({2, 5, 1}, true), true},
      {"zero", at::tensor(std::vector<int64_t>{2, 0, 3}, at::kLong), false},
      {"negative", at::tensor(std::vector<int64_t>{2, -1, 3}, at::kLong), false},
      {"beyond T", at::tensor(std::vector<int64_t>{2, 6, 3}, at::kLong), false},
      {"one too few", at::tensor(std::vector<int64_t>{2, 3}, at::kLong), false},
      {"one too many", at::tensor(std::vector<int64_t>{2, 3, 4, 5}, at::kLong), false},
      {"int32", at::tensor(std::vector<int64_t>{2, 3, 4}, at::kLong).to(at::kInt), false},
      {"float", at::tensor(std::vector<int64_t>{2, 3, 4}, at::kLong).to(at::kFloat), false},
      {"2-d", at::tensor(std::vector<int64_t>{2, 3, 4}, at::kLong).view({3, 1}), false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(hst::kernels::native_recurrent_supported(r, x, c.lengths), c.expected) << c.what;
  EXPECT_THROW(hst::kernels::native_recurrent_forward(r, x, cases[3].lengths), c10::Error);
}

TEST(NativeRecurrent, RetainedGraphGivesTheSameGradientsTwice) {
  at::manual_seed(13);
  for (RnnKind kind : {RnnKind::LSTM, RnnKind::GRU, RnnKind::RNN_TANH}) {
    SCOPED_TRACE(kind_name(kind));
    RnnLayer r = make_layer(kind, 3, 5, 2, /*bidirectional=*/true);
    at::Tensor x = at::randn({2, 4, 3}).requires_grad_(true);
    at::Tensor upstream = at::randn({2, 4, 10});
    std::vector<at::Tensor> inputs = r.flat_weights;
    inputs.push_back(x);
    at::Tensor out = native(r, x);
    auto first = torch::autograd::grad({out}, inputs, {upstream}, /*retain_graph=*/true);
    auto second = torch::autograd::grad({out}, inputs, {upstream}, /*retain_graph=*/false);
    for (size_t i = 0; i < first.size(); ++i) EXPECT_TRUE(at::equal(first[i], second[i])) << "gradient " << i;
    EXPECT_THROW(torch::autograd::grad({out}, inputs, {upstream}), c10::Error) << "graph should be freed";
  }
}

TEST(NativeRecurrent, DoubleBackwardIsRefused) {
  RnnLayer r = make_layer(RnnKind::LSTM, 3, 4, 1, false);
  at::Tensor x = at::randn({2, 3, 3}).requires_grad_(true);
  at::Tensor out = native(r, x);
  EXPECT_THROW(torch::autograd::grad({out.sum()}, {x}, {}, /*retain_graph=*/true, /*create_graph=*/true), c10::Error);
}

TEST(NativeRecurrent, ConcurrentCallsAgreeWithSerialOnes) {
  at::manual_seed(5);
  std::vector<RnnLayer> layers;
  std::vector<at::Tensor> xs, ups;
  for (RnnKind kind : {RnnKind::LSTM, RnnKind::GRU, RnnKind::LSTM, RnnKind::GRU}) {
    layers.push_back(make_layer(kind, 6, 16, 2, true));
    xs.push_back(at::randn({8, 12, 6}).requires_grad_(true));
    ups.push_back(at::randn({8, 12, 32}));
  }
  std::vector<Result> serial, parallel(layers.size());
  for (size_t i = 0; i < layers.size(); ++i) serial.push_back(forward_backward(native, layers[i], xs[i], ups[i]));
  std::vector<std::thread> threads;
  for (size_t i = 0; i < layers.size(); ++i)
    threads.emplace_back([&, i] {
      for (int rep = 0; rep < 5; ++rep) parallel[i] = forward_backward(native, layers[i], xs[i], ups[i]);
    });
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < layers.size(); ++i) {
    EXPECT_TRUE(at::equal(parallel[i].out, serial[i].out)) << i;
    for (size_t k = 0; k < serial[i].grads.size(); ++k)
      EXPECT_TRUE(at::equal(parallel[i].grads[k], serial[i].grads[k])) << i << " gradient " << k;
  }
}

}  // namespace

// NaN and infinities reaching the gates (a run that trained into NaN, or an
// input of inf): the same NaN, inf and finite values as the library's layers,
// and no undefined behaviour on the way (the sanitizer build runs this too).
TEST(NativeRecurrent, NonFiniteInputsGiveWhatTorchGives) {
  at::manual_seed(11);
  at::NoGradGuard no_grad;
  const float specials[] = {NAN, INFINITY, -INFINITY, 1e30f, -1e30f};
  for (RnnKind kind : {RnnKind::LSTM, RnnKind::GRU, RnnKind::RNN_TANH}) {
    const RnnLayer r = make_layer(kind, /*input=*/3, /*hidden=*/5, /*layers=*/1, /*bidirectional=*/true);
    at::Tensor x = at::randn({5, 4, 3});
    for (int64_t b = 0; b < 5; ++b) x[b][b % 4][b % 3] = specials[b];  // one value a row, at different steps
    const at::Tensor got = native(r, x), want = torch_recurrent(r, x);
    SCOPED_TRACE(kind_name(kind));
    EXPECT_TRUE(at::equal(got.isnan(), want.isnan()));
    EXPECT_TRUE(at::equal(got.isinf(), want.isinf()));
    const at::Tensor finite = want.isfinite();
    EXPECT_TRUE(close(got.masked_select(finite), want.masked_select(finite)));
  }
}
