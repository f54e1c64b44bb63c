// Byte helpers.
#include "bytes.h"

#include <algorithm>

#include "protocol/crc16.h"
#include "protocol/wire.h"

namespace quarel::testkit {

Bytes hex(std::string_view text) {
    Bytes out;
    int nibble = -1;
    for (const char c : text) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else continue;
        if (nibble < 0) {
            nibble = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(nibble << 4 | v));
            nibble = -1;
        }
    }
    return out;
}

std::string to_hex(std::span<const std::uint8_t> bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i) out += ' ';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

Bytes sealed(std::span<const std::uint8_t> type_and_body) {
    Bytes out(type_and_body.size() + 2);
    protocol::put_u16(out, 0, protocol::crc16(type_and_body));
    std::copy(type_and_body.begin(), type_and_body.end(), out.begin() + 2);
    return out;
}

Bytes le32(std::int32_t v) {
    Bytes b(4);
    protocol::put_i32(b, 0, v);
    return b;
}

Bytes le16(std::int16_t v) {
    Bytes b(2);
    protocol::put_i16(b, 0, v);
    return b;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace quarel::testkit
