#include "core/checksum.h"

#include <cstring>

namespace hst {

namespace {

constexpr uint64_t kPrime1 = 0x9E3779B185EBCA87ULL;
constexpr uint64_t kPrime2 = 0xC2B2AE3D27D4EB4FULL;

inline uint64_t rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

inline uint64_t round(uint64_t acc, uint64_t word) {
  acc += word * kPrime2;
  return rotl(acc, 31) * kPrime1;
}

inline uint64_t avalanche(uint64_t h) {
  h ^= h >> 33;
  h *= kPrime2;
  h ^= h >> 29;
  h *= kPrime1;
  return h ^ (h >> 32);
}

}  // namespace

uint64_t checksum_bytes(const void* data, size_t size, uint64_t seed) {
  const auto* p = static_cast<const unsigned char*>(data);
  // Four independent lanes over 32-byte blocks keep the multiplies in flight
  // (several GB/s), then the tail word by word and byte by byte.
  uint64_t lane[4] = {seed + kPrime1 + kPrime2, seed + kPrime2, seed, seed - kPrime1};
  size_t i = 0;
  for (; i + 32 <= size; i += 32) {
    for (int k = 0; k < 4; ++k) {
      uint64_t w;
      std::memcpy(&w, p + i + 8 * k, 8);
      lane[k] = round(lane[k], w);
    }
  }
  uint64_t h = rotl(lane[0], 1) + rotl(lane[1], 7) + rotl(lane[2], 12) + rotl(lane[3], 18);
  h += static_cast<uint64_t>(size);
  for (; i + 8 <= size; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    h = rotl(h ^ round(0, w), 27) * kPrime1 + kPrime2;
  }
  for (; i < size; ++i) h = rotl(h ^ (p[i] * kPrime1), 11) * kPrime2;
  return avalanche(h);
}

}  // namespace hst
