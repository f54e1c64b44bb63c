// The limiters' table hash: SipHash-2-4 (libsodium) under a secret key.
#pragma once

#include <array>
#include <cstdint>

#include "core/source_buckets.h"

namespace quarel::platform {

class SipSourceHash final : public core::SourceHash {
public:
    using Key = std::array<std::uint8_t, 16>;

    // The server draws `key` with random_bytes at start-up; tests pass a fixed one.
    explicit SipSourceHash(const Key& key) : key_(key) {}
    std::uint64_t operator()(const core::SourceKey& source) const override;

private:
    Key key_;
};

}  // namespace quarel::platform
