// A 64-bit checksum of a byte range: the same bytes give the same value in
// every process and on every machine (little- or big-endian reads aside,
// the data of one data-parallel run all lives on one kind of machine).
// Not cryptographic: it tells accidental differences apart, such as ranks
// handed different shards or a differently shuffled copy of the data.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hst {

uint64_t checksum_bytes(const void* data, size_t size, uint64_t seed = 0);

}  // namespace hst
