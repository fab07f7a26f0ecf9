// The one definition of the tanh-sinh node table declared in tanh_sinh.hpp.
// The values come from the generated tanh_sinh_table.hpp; integrate() itself
// is a template in the header, so that each integrand is inlined.
#include "numerics/tanh_sinh.hpp"

#include "numerics/strict_fp.hpp"
#include "numerics/tanh_sinh_table.hpp"

namespace lumora::quadrature::double_exponential::detail {

// Each level's pairs are stored in increasing t: the abscissae rise towards 1.
static_assert([] {
    for (std::size_t level = 0; level < level_count; ++level) {
        for (std::size_t i = level_begin[level] + 1; i < level_begin[level + 1]; ++i) {
            if (!(nodes[i - 1].abscissa < nodes[i].abscissa && nodes[i].abscissa < 1.0)) {
                return false;
            }
        }
    }
    return true;
}());

}  // namespace lumora::quadrature::double_exponential::detail
