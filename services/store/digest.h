// The content digest the store keeps for each message: SHA-256 of its raw
// bytes, so that an import can find a message it stored before.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vorn_store {

using Digest = std::array<uint8_t, 32>;

Digest ComputeDigest(const void* data, size_t size);

}  // namespace vorn_store
