// Little-endian field access over the packet buffer, by shifts, never by casting the buffer.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace quarel::protocol {

inline std::uint16_t get_u16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
inline std::int16_t get_i16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::int16_t>(get_u16(b, at));
}
inline std::uint32_t get_u32(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           (static_cast<std::uint32_t>(b[at + 2]) << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
inline std::int32_t get_i32(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::int32_t>(get_u32(b, at));
}
inline float get_f32(std::span<const std::uint8_t> b, std::size_t at) { return std::bit_cast<float>(get_u32(b, at)); }

inline void put_u8(std::span<std::uint8_t> b, std::size_t at, std::uint8_t v) { b[at] = v; }
inline void put_u16(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put_i16(std::span<std::uint8_t> b, std::size_t at, std::int16_t v) {
    put_u16(b, at, static_cast<std::uint16_t>(v));
}
inline void put_u32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
    b[at + 2] = static_cast<std::uint8_t>(v >> 16);
    b[at + 3] = static_cast<std::uint8_t>(v >> 24);
}
inline void put_i32(std::span<std::uint8_t> b, std::size_t at, std::int32_t v) {
    put_u32(b, at, static_cast<std::uint32_t>(v));
}
inline void put_f32(std::span<std::uint8_t> b, std::size_t at, float v) { put_u32(b, at, std::bit_cast<std::uint32_t>(v)); }
inline void put_bytes(std::span<std::uint8_t> b, std::size_t at, const void* src, std::size_t n) {
    if (n != 0) std::memcpy(b.data() + at, src, n);
}

// A write cursor for lists whose entries follow one another.
class Writer {
public:
    Writer(std::span<std::uint8_t> buf, std::size_t at) : buf_(buf), at_(at) {}
    void i32(std::int32_t v) { put_i32(buf_, at_, v), at_ += 4; }
    void bytes(const void* src, std::size_t n) { put_bytes(buf_, at_, src, n), at_ += n; }
    std::size_t pos() const { return at_; }

private:
    std::span<std::uint8_t> buf_;
    std::size_t at_;
};

}  // namespace quarel::protocol
