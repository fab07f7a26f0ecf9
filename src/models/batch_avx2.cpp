// The AVX2 variant of the batch kernels (4 lanes), compiled with
// -mavx2 and -ffp-contract=off (its own compile options, CMakeLists.txt).
// Without -ffp-contract=off GCC contracts a·b + c into a fused multiply-add
// wherever the instruction set has one (-mfma, or an instruction set
// that implies it: AVX-512F has fused multiply-adds without -mfma), and
// a fused result is rounded once instead of twice: the lanes would no
// longer have the scalar kernel's bits.  The code itself is in
// batch_lanes.hpp and batch_driver.hpp; this file supplies the vector
// operations and defines the two entry points of batch_variants.hpp.
#if defined(__x86_64__) && defined(__AVX2__)

#include <immintrin.h>

#include "models/batch_driver.hpp"

namespace lumora::batch {
namespace {

struct Avx2 {
    static constexpr int width = 4;
    using V = __m256d;
    using M = __m256d;  // all ones or all zeros per lane
    using I = __m128i;

    static V set1(double x) { return _mm256_set1_pd(x); }
    static V load(const double* p) { return _mm256_loadu_pd(p); }
    static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
    static void store_i(std::int32_t* p, I i) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), i); }

    static V add(V a, V b) { return _mm256_add_pd(a, b); }
    static V sub(V a, V b) { return _mm256_sub_pd(a, b); }
    static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
    static V div(V a, V b) { return _mm256_div_pd(a, b); }
    static V sqrt(V a) { return _mm256_sqrt_pd(a); }
    static V abs(V a) { return _mm256_and_pd(a, _mm256_castsi256_pd(_mm256_set1_epi64x(INT64_MAX))); }
    static V neg(V a) { return _mm256_xor_pd(a, _mm256_castsi256_pd(_mm256_set1_epi64x(INT64_MIN))); }
    static V max(V a, V b) { return _mm256_max_pd(a, b); }

    static M lt(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static M le(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
    static M gt(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
    static M ge(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
    static M eq(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
    static M ne(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_NEQ_UQ); }
    static M and_(M a, M b) { return _mm256_and_pd(a, b); }
    static M or_(M a, M b) { return _mm256_or_pd(a, b); }
    static M andnot(M a, M b) { return _mm256_andnot_pd(b, a); }
    static M all() { return _mm256_castsi256_pd(_mm256_set1_epi64x(-1)); }
    static unsigned bits(M m) { return static_cast<unsigned>(_mm256_movemask_pd(m)); }
    static V blend(M m, V a, V b) { return _mm256_blendv_pd(a, b, m); }

    static I trunc(V a) { return _mm256_cvttpd_epi32(a); }
    static I clamp(I i, int lo, int hi) {
        return _mm_min_epi32(_mm_max_epi32(i, _mm_set1_epi32(lo)), _mm_set1_epi32(hi));
    }
    static V from_lanes(const double* const* rows, int j) {
        return _mm256_set_pd(rows[3][j], rows[2][j], rows[1][j], rows[0][j]);
    }
};

}  // namespace

namespace detail {

void disk_lanes_avx2(const double* u, const double* rho, double* out, std::size_t n) noexcept {
    disk_lanes<Twice<Avx2>>(u, rho, out, n);
}

void ring_lanes_avx2(double l, const double* r, double re, double rstar, double* out, bool* failed,
                    std::size_t n) noexcept {
    ring_lanes<Twice<Avx2>>(l, r, re, rstar, out, failed, n);
}

}  // namespace detail
}  // namespace lumora::batch

#endif
