// The AVX-512 variant of the batch kernels (8 lanes), compiled with
// -mavx512f and -ffp-contract=off (its own compile options, CMakeLists.txt).
// Without -ffp-contract=off GCC contracts a·b + c into a fused multiply-add
// wherever the instruction set has one (AVX-512F does, without -mfma), and
// a fused result is rounded once instead of twice: the lanes would no
// longer have the scalar kernel's bits.  The code itself is in
// batch_lanes.hpp and batch_driver.hpp; this file supplies the vector
// operations and defines the two entry points of batch_variants.hpp.
#if defined(__x86_64__) && defined(__AVX512F__)

#include <immintrin.h>

#include "models/batch_driver.hpp"

namespace lumora::batch {
namespace {

// Square root, maximum and truncation are written in their zero-masking
// form with every lane selected (the same instructions and results): the
// plain forms start from an undefined vector, which GCC 12 reports as
// uninitialised.
struct Avx512 {
    static constexpr int width = 8;
    using V = __m512d;
    using M = __mmask8;
    using I = __m256i;

    static V set1(double x) { return _mm512_set1_pd(x); }
    static V load(const double* p) { return _mm512_loadu_pd(p); }
    static void store(double* p, V v) { _mm512_storeu_pd(p, v); }
    static void store_i(std::int32_t* p, I i) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), i); }

    static V add(V a, V b) { return _mm512_add_pd(a, b); }
    static V sub(V a, V b) { return _mm512_sub_pd(a, b); }
    static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
    static V div(V a, V b) { return _mm512_div_pd(a, b); }
    static V sqrt(V a) { return _mm512_maskz_sqrt_pd(0xFF, a); }
    static V abs(V a) { return _mm512_abs_pd(a); }
    static V neg(V a) {
        return _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(a), _mm512_set1_epi64(INT64_MIN)));
    }
    static V max(V a, V b) { return _mm512_maskz_max_pd(0xFF, a, b); }

    static M lt(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static M le(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
    static M gt(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
    static M ge(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
    static M eq(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
    static M ne(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_NEQ_UQ); }
    static M and_(M a, M b) { return static_cast<M>(a & b); }
    static M or_(M a, M b) { return static_cast<M>(a | b); }
    static M andnot(M a, M b) { return static_cast<M>(a & ~b); }
    static M all() { return 0xFF; }
    static unsigned bits(M m) { return m; }
    static V blend(M m, V a, V b) { return _mm512_mask_blend_pd(m, a, b); }

    static I trunc(V a) { return _mm512_maskz_cvttpd_epi32(0xFF, a); }
    static I clamp(I i, int lo, int hi) {
        return _mm256_min_epi32(_mm256_max_epi32(i, _mm256_set1_epi32(lo)), _mm256_set1_epi32(hi));
    }
    static V from_lanes(const double* const* rows, int j) {
        return _mm512_set_pd(rows[7][j], rows[6][j], rows[5][j], rows[4][j], rows[3][j], rows[2][j], rows[1][j],
                             rows[0][j]);
    }
};

}  // namespace

namespace detail {

void disk_lanes_avx512(const double* u, const double* rho, double* out, std::size_t n) noexcept {
    disk_lanes<Twice<Avx512>>(u, rho, out, n);
}

void ring_lanes_avx512(double l, const double* r, double re, double rstar, double* out, bool* failed,
                      std::size_t n) noexcept {
    ring_lanes<Twice<Avx512>>(l, r, re, rstar, out, failed, n);
}

}  // namespace detail
}  // namespace lumora::batch

#endif
