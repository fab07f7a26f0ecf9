// Shared helpers of the libFuzzer targets: doubles taken from the input's
// raw bytes (every bit pattern, NaNs, infinities and subnormals included),
// and a check that ends the run with a message when a property fails.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace lumora::fuzz {

// Reads doubles from the input, eight bytes each; missing bytes read as 0.
class Doubles {
public:
    Doubles(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    double next() {
        unsigned char bytes[8] = {};
        const std::size_t n = size_ - used_ < 8 ? size_ - used_ : 8;
        std::memcpy(bytes, data_ + used_, n);
        used_ += n;
        double value;
        std::memcpy(&value, bytes, 8);
        return value;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t used_ = 0;
};

// |a − b| <= tolerance·max(|a|, |b|), with equal infinities and two NaNs equal.
inline bool close(double a, double b, double tolerance) {
    if (a == b || (std::isnan(a) && std::isnan(b))) return true;
    return std::abs(a - b) <= tolerance * std::fmax(std::abs(a), std::abs(b));
}

[[noreturn]] inline void fail(const char* what, double a, double b) {
    std::fprintf(stderr, "property failed: %s (%.17g, %.17g)\n", what, a, b);
    std::abort();
}

}  // namespace lumora::fuzz
