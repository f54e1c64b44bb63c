// SipHash-2-4 of a source key, from libsodium.
#include "platform/source_hash.h"

#include <sodium.h>

#include <tuple>

namespace quarel::platform {

std::uint64_t SipSourceHash::operator()(const core::SourceKey& source) const {
    static_assert(crypto_shorthash_siphash24_KEYBYTES == std::tuple_size_v<Key>);
    std::array<unsigned char, crypto_shorthash_siphash24_BYTES> out{};
    crypto_shorthash_siphash24(out.data(), source.data(), source.size(), key_.data());
    std::uint64_t h = 0;
    for (std::size_t i = 0; i < out.size(); ++i) h |= std::uint64_t{out[i]} << (8 * i);
    return h;
}

}  // namespace quarel::platform
