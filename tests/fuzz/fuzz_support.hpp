// Shared helpers of the libFuzzer targets: doubles taken from the input's
// raw bytes (every bit pattern, NaNs, infinities and subnormals included)
// or mapped into a physical range, and a check that ends the run with a
// message when a property fails.
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
    // A number in [0, 1) from the next eight bytes (53 bits).
    double unit() {
        const double raw = next();
        std::uint64_t bits;
        std::memcpy(&bits, &raw, 8);
        return static_cast<double>(bits >> 11) * 0x1p-53;
    }
    // 10^e with e uniform in [low, high].
    double log_uniform(double low, double high) { return std::pow(10.0, low + (high - low) * unit()); }

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
