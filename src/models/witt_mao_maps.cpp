#include "models/witt_mao_maps.hpp"

#include <array>
#include <cstddef>
#include <utility>

#include "models/batch.hpp"

namespace lumora {

pool::Output<double> witt_mao_magnification(const std::vector<double>& l, double re, double rstar) {
    const double rho = rstar / re;
    // Each piece hands its separations to the batch kernel, at most
    // pool::batch_size at a time, as u = l·ρ.
    return pool::parallel_map_batched<double>(l, [rho](const double* separation, double* out, std::size_t n) {
        std::array<double, pool::batch_size> u;
        std::array<double, pool::batch_size> radius;
        for (std::size_t i = 0; i < n; ++i) {
            u[i] = separation[i] * rho;
            radius[i] = rho;
        }
        disk_magnification_lanes(u.data(), radius.data(), out, n);
    });
}

pool::Output<pool::Output<double>> multi_witt_mao_magnification(const std::vector<double>& l,
                                                                const std::vector<double>& re,
                                                                const std::vector<double>& rstar) {
    std::vector<std::pair<double, double>> pairs;
    pairs.reserve(re.size() * rstar.size());
    for (double einstein : re) {
        for (double star : rstar) pairs.emplace_back(einstein, star);
    }
    return pool::parallel_map<pool::Output<double>>(pairs, [&l](const std::pair<double, double>& pair) {
        return witt_mao_magnification(l, pair.first, pair.second);
    });
}

}  // namespace lumora
