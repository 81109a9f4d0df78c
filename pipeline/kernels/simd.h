// Compiler settings shared by the hand-written CPU kernels.
//
// The fused loops and the matrix product are compiled for AVX-512, AVX2 and
// the baseline, chosen at load time from what the CPU supports. (Defining
// HST_VECTOR_CLONES empty builds one version for the compiler's -march, e.g.
// to test each of them.)
#pragma once

#include <cstdint>
#include <cstring>

#ifndef HST_VECTOR_CLONES
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 11 && defined(__x86_64__) && defined(__linux__)
#define HST_VECTOR_CLONES __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#define HST_MULTIVERSION 1
#else
#define HST_VECTOR_CLONES
#endif
#endif
#ifndef HST_MULTIVERSION
#define HST_MULTIVERSION 0
#endif
#if !defined(__GNUC__)
#error "the CPU kernels use GCC / Clang vector extensions"
#endif
#define HST_ALWAYS_INLINE inline __attribute__((always_inline))
#define HST_RESTRICT __restrict__

namespace hst::kernels {

// cond ? a : b through bit masks. Without masked vector instructions (AVX2
// and older) the compiler keeps a float `?:` as a branch, which stops the loop
// around it from being vectorised.
HST_ALWAYS_INLINE float select(bool cond, float a, float b) {
  uint32_t ua, ub;
  std::memcpy(&ua, &a, sizeof ua);
  std::memcpy(&ub, &b, sizeof ub);
  const uint32_t mask = 0u - static_cast<uint32_t>(cond);
  const uint32_t bits = (ua & mask) | (ub & ~mask);
  float out;
  std::memcpy(&out, &bits, sizeof out);
  return out;
}

}  // namespace hst::kernels
