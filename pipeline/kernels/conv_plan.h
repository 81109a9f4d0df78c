// The convolution stack as a plan: its steps as a list of row operations,
// each with its shapes and the row layouts of its activations and their
// gradients.
#pragma once

#include <ATen/ATen.h>
#include <ATen/core/ivalue.h>

#include <cstdint>
#include <vector>

#include "kernels/conv_layout.h"
#include "kernels/layers.h"

namespace hst::kernels::conv {

struct Op {
  enum Kind { CONV, BN, RELU, POOL, COPY } kind = COPY;
  int64_t step = -1;                   // index into the steps (COPY: none)
  int64_t k = 0, pad = 0, stride = 0;  // conv: kernel, padding; pool: kernel, stride
  bool relu = false;                   // BN: a ReLU follows, applied in the same pass
  bool batch_stats = false;            // BN: normalise with the batch's statistics
  int64_t param = -1;                  // first of its parameters in the parameter list, -1 if none
  int64_t nparams = 0;
  // A convolution's bias followed by BatchNorm is not added to the
  // convolution's output but folded into BatchNorm's shift (one pass less):
  // conv: bias_deferred; BN: pre_bias, the parameter index of that bias.
  bool bias_deferred = false;
  int64_t pre_bias = -1;
  Layout in, out;    // activations
  Layout gin, gout;  // gradients of input and output
};

struct Plan : torch::CustomClassHolder {
  std::vector<Op> ops;
  std::vector<CnnStep> steps;  // settings and buffers (running statistics)
  int64_t B = 0, C = 0, L = 0;
};

// Fills `plan` when the steps are supported for this input (and these
// lengths, when defined).
bool make_plan(const std::vector<CnnStep>& steps, const at::Tensor& x, const at::Tensor& lengths, Plan& plan);

// The parameters of the plan's ops, in the order the ops take them (Op::param).
std::vector<at::Tensor> plan_params(const Plan& plan);

}  // namespace hst::kernels::conv
