// Exponential, sigmoid and tanh written so that the compiler vectorises the
// loops around them (no calls into libm). Relative error about 1.5e-7 over
// the whole range; NaN and the infinities give what std::exp gives (NaN, inf,
// 0). Always inlined: each instruction-set clone of a loop gets its own copy.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "kernels/simd.h"

namespace hst::kernels {

HST_ALWAYS_INLINE float exp_approx(float in) {
  float x = select(in < -87.0f, -87.0f, in);
  x = select(x > 88.0f, 88.0f, x);
  // x = n ln2 + r, |r| <= ln2 / 2; n rounded to nearest by the 1.5 * 2^23
  // shift, which leaves n in the low bits of `shifted`. The scale 2^n is
  // built from those bits in unsigned arithmetic: no float-to-int
  // conversion, so a NaN (which the clamps keep) is no undefined behaviour;
  // it passes through r and the polynomial and comes out NaN.
  const float shifted = x * 1.44269504088896341f + 12582912.0f;
  const float n = shifted - 12582912.0f;
  float r = x - n * 0.693359375f;
  r = r - n * -2.12194440e-4f;
  float p = 1.9875691500e-4f;
  p = p * r + 1.3981999507e-3f;
  p = p * r + 8.3334519073e-3f;
  p = p * r + 4.1665795894e-2f;
  p = p * r + 1.6666665459e-1f;
  p = p * r + 5.0000001201e-1f;
  p = p * (r * r) + r + 1.0f;
  uint32_t bits;
  std::memcpy(&bits, &shifted, sizeof bits);
  bits = (bits - 0x4B400000u + 127u) << 23;  // 0x4B400000: the bits of 1.5 * 2^23
  float scale;
  std::memcpy(&scale, &bits, sizeof scale);
  const float out = p * scale;
  // The clamps keep the infinities finite: give std::exp's inf and 0.
  return select(in == INFINITY, INFINITY, select(in == -INFINITY, 0.0f, out));
}

HST_ALWAYS_INLINE float sigmoid_approx(float x) { return 1.0f / (1.0f + exp_approx(-x)); }

HST_ALWAYS_INLINE float tanh_approx(float x) {
  const float a = std::fabs(x);
  const float large = std::copysign(1.0f - 2.0f / (exp_approx(2.0f * a) + 1.0f), x);
  // odd polynomial near zero, where 1 - 2 / (e + 1) would cancel
  const float z = x * x;
  float p = -5.70498872745e-3f;
  p = p * z + 2.06390887954e-2f;
  p = p * z - 5.37397155531e-2f;
  p = p * z + 1.33314422036e-1f;
  p = p * z - 3.33332819422e-1f;
  const float small = p * z * x + x;
  return select(a < 0.625f, small, large);
}

}  // namespace hst::kernels
