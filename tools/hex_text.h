// Bytes as upper-case hex text, as the sim writes them to its logs.
#pragma once

#include <cstddef>
#include <string>

inline std::string hex(const unsigned char* data, std::size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

inline std::string hex(const std::string& bytes) {
    return hex(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}
