// Bytes as hex text, two lowercase digits a byte: the journal's byte
// arguments, the scenario files' \xHH escapes and the virtual device's
// protocol all read and write it.
#pragma once

#include <string>
#include <string_view>

namespace mpsim {

inline constexpr char kHexDigits[] = "0123456789abcdef";

inline std::string hex(std::string_view bytes) {
    std::string out;
    out.reserve(2 * bytes.size());
    for (unsigned char b : bytes) {
        out += kHexDigits[b >> 4];
        out += kHexDigits[b & 15];
    }
    return out;
}

// A hex digit's value, or -1.
inline int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The bytes of hex text, up to the first pair that is not two hex digits.
inline std::string unhex(std::string_view h) {
    std::string out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) {
        const int hi = hex_digit(h[i]);
        const int lo = hex_digit(h[i + 1]);
        if (hi < 0 || lo < 0)
            break;
        out += static_cast<char>(hi * 16 + lo);
    }
    return out;
}

}  // namespace mpsim
