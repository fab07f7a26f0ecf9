// Batch kernels: the choice of variant from LUMORA_KERNELS and the CPU's
// features, the dispatch, and the scalar loops (see batch.hpp).  Compiled
// for the baseline instruction set: the vector variants are reached only
// through a CPU check made here.
#include "models/batch.hpp"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "models/batch_variants.hpp"
#include "models/heyrovsky.hpp"
#include "models/witt_mao.hpp"

namespace lumora::batch {
namespace {

// What this build and this CPU run, determined once (thread-safe static
// initialisation; __builtin_cpu_supports reads what __builtin_cpu_init
// found, and the operating system's support for the vector registers is
// part of its answer).
struct Features {
    bool avx2 = false;
};

const Features& features() noexcept {
    static const Features found = [] {
        Features f;
#if defined(LUMORA_SIMD_X86)
        __builtin_cpu_init();
        f.avx2 = __builtin_cpu_supports("avx2");
#endif
        return f;
    }();
    return found;
}

// The vector variant wherever it runs (about half the time of the scalar
// kernels per whole call, benchmarks/bench_variants.py).
Variant fastest() noexcept {
    return supported(Variant::avx2) ? Variant::avx2 : Variant::scalar;
}

}  // namespace

namespace detail {

double ring_or_nan(double l, double r, double re, double rstar, bool* failed) noexcept {
    const EllipticResult a = lumora::heyrovsky_magnification(l, r, re, rstar);
    *failed = !a;
    return a ? *a : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace detail

bool supported(Variant variant) noexcept {
    switch (variant) {
        case Variant::avx2:
            return features().avx2;
        case Variant::scalar:
            break;
    }
    return true;
}

Variant variant_from_env(const char* text) noexcept {
    for (const Variant variant : {Variant::scalar, Variant::avx2}) {
        if (text != nullptr && std::strcmp(text, name(variant)) == 0 && supported(variant)) {
            return variant;
        }
    }
    return fastest();  // unset, empty, "auto", unknown, or a variant missing here
}

Variant chosen_variant() noexcept {
    // Read once, like the worker pool's thread count: a later change of the
    // environment does not switch the variant of a running process.
    static const Variant chosen = variant_from_env(std::getenv("LUMORA_KERNELS"));
    return chosen;
}

const char* name(Variant variant) noexcept {
    switch (variant) {
        case Variant::avx2:
            return "avx2";
        case Variant::scalar:
            break;
    }
    return "scalar";
}

void disk_magnification_lanes(Variant variant, const double* u, const double* rho, double* out,
                              std::size_t n) noexcept {
    switch (variant) {
#if defined(LUMORA_SIMD_X86)
        case Variant::avx2:
            detail::disk_lanes_avx2(u, rho, out, n);
            return;
#endif
        default:
            for (std::size_t i = 0; i < n; ++i) {
                out[i] = witt_mao_magnification_scaled(u[i], rho[i]);
            }
    }
}

void ring_magnification_lanes(Variant variant, double l, const double* r, double re, double rstar, double* out,
                              bool* failed, std::size_t n) noexcept {
    switch (variant) {
#if defined(LUMORA_SIMD_X86)
        case Variant::avx2:
            detail::ring_lanes_avx2(l, r, re, rstar, out, failed, n);
            return;
#endif
        default:
            for (std::size_t i = 0; i < n; ++i) {
                out[i] = detail::ring_or_nan(l, r[i], re, rstar, &failed[i]);
            }
    }
}

}  // namespace lumora::batch

namespace lumora {

void disk_magnification_lanes(const double* u, const double* rho, double* out, std::size_t n) noexcept {
    batch::disk_magnification_lanes(batch::chosen_variant(), u, rho, out, n);
}

void ring_magnification_lanes(double l, const double* r, double re, double rstar, double* out, bool* failed,
                              std::size_t n) noexcept {
    batch::ring_magnification_lanes(batch::chosen_variant(), l, r, re, rstar, out, failed, n);
}

}  // namespace lumora
