// The random streams of one call. Every draw a training call makes (the
// initial weights, each epoch's order, dropout masks) comes from generators
// of the call's own, so that calls running at once in threads of one process
// do not disturb each other's draws.
#pragma once

#include <ATen/ATen.h>

#include <cstdint>

#include "core/network.h"

namespace hst {

struct RandomStreams {
  at::Generator cpu;   // initial weights, each epoch's order, dropout on the CPU
  at::Generator cuda;  // dropout on a CUDA device; undefined when training on the CPU
};

// Generators of the call's own for training on `device`. Seeded with a seed
// other than 0 they draw exactly what the default generators draw after
// torch.manual_seed(seed). Seed 0 fixes nothing: the streams are then seeded
// with one 64-bit draw of the default CPU generator, wherever it stands.
RandomStreams make_random_streams(uint64_t seed, const at::Device& device);

// Draws the network's initial parameters from `gen`, in the order and with
// the bounds torch.nn's constructors use (Conv1d and Linear: Kaiming-uniform
// weights with a = sqrt(5) and biases uniform in +-1/sqrt(fan_in); the
// recurrent layer: every tensor uniform in +-1/sqrt(hidden); BatchNorm draws
// nothing). The tensors must be on the CPU, as the constructors leave them.
void draw_initial_parameters(const NetParams& net, at::Generator& gen);

// The generators' states, to be saved and put back (a checkpoint).
struct RandomState {
  at::Tensor cpu, cuda;  // uint8 CPU tensors; cuda undefined without a CUDA stream
};
RandomState random_state(const RandomStreams& streams);
void restore_random_state(RandomStreams& streams, const RandomState& state);

}  // namespace hst
