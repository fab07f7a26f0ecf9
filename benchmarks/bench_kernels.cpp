// Bare kernel costs, for comparison with the whole Python calls in
// benchmarks/run_all.py.  Prints one line per measurement:
//   <name> <nanoseconds per element> <kernel calls per element>
//
// Each loop calls the kernels at exactly the arguments the exported
// functions use (the separations of the Python benchmark, the radii of the
// quadrature nodes), recorded beforehand, so that the difference from the
// Python call is the cost of everything else: conversion, quadrature
// bookkeeping, the pool and the result list.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "models/heyrovsky.hpp"
#include "models/witt_mao.hpp"
#include "numerics/tanh_sinh.hpp"

namespace {

using lumora::quadrature::double_exponential::integrate;

double sink = 0.0;  // keeps the optimiser from dropping the loops

template <class F>
double best_seconds(int repeats, F&& run) {
    double best = 1e300;
    for (int i = 0; i < repeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
        if (spent.count() < best) best = spent.count();
    }
    return best;
}

// The abscissae a full quadrature over [a, b] visits, in order.
std::vector<double> nodes_on(double a, double b) {
    std::vector<double> radii;
    integrate([&radii](double r) { radii.push_back(r); return 0.0; }, a, b, -1.0);
    return radii;
}

std::vector<double> grid(double first, double last, std::size_t n) {
    std::vector<double> values(n);
    for (std::size_t i = 0; i < n; ++i) values[i] = first + (last - first) * static_cast<double>(i) / static_cast<double>(n - 1);
    return values;
}

}  // namespace

int main() {
    // witt_mao_magnification over 10^6 separations, rho = 0.1 (as in run_all.py).
    {
        const std::vector<double> l = grid(0.0, 20.0, 1000000);
        const double rho = 0.1 / 1.0;
        const double seconds = best_seconds(5, [&] {
            for (double li : l) sink += lumora::witt_mao_magnification_scaled(li * rho, rho);
        });
        std::printf("disk_kernel %.2f 1\n", seconds / static_cast<double>(l.size()) * 1e9);
    }
    // The separations of the integrated benchmarks: 200 values from 0 to 3 source radii, re = rstar = 1.
    const std::vector<double> l = grid(0.0, 3.0, 200);
    // integrated_heyrovsky_magnification: one ring-kernel call per node, over
    // [0, l] and [l, 1] when the lens is inside the source.
    {
        std::vector<std::vector<double>> radii;
        std::size_t calls = 0;
        for (double li : l) {
            std::vector<double> r = nodes_on(0.0, 0.0 < li && li < 1.0 ? li : 1.0);
            if (0.0 < li && li < 1.0) {
                const std::vector<double> outer = nodes_on(li, 1.0);
                r.insert(r.end(), outer.begin(), outer.end());
            }
            calls += r.size();
            radii.push_back(std::move(r));
        }
        const double seconds = best_seconds(5, [&] {
            for (std::size_t i = 0; i < l.size(); ++i) {
                for (double r : radii[i]) {
                    const lumora::EllipticResult a = lumora::heyrovsky_magnification(l[i], r, 1.0, 1.0);
                    sink += a ? *a : 0.0;
                }
            }
        });
        std::printf("ring_integrand %.2f %.1f\n", seconds / static_cast<double>(l.size()) * 1e9,
                    static_cast<double>(calls) / static_cast<double>(l.size()));
    }
    // integrated_witt_mao_magnification: a disk of radius rho*sqrt(1 - x^2) per node, plus the whole disk.
    {
        const std::vector<double> x = nodes_on(0.0, 1.0);
        const double rho = 1.0;
        const double seconds = best_seconds(5, [&] {
            for (double li : l) {
                const double u = li * rho;
                for (double xi : x) sink += lumora::witt_mao_magnification_scaled(u, rho * std::sqrt(1.0 - xi * xi));
                sink += lumora::witt_mao_magnification_scaled(u, rho);
            }
        });
        std::printf("disk_integrand %.2f %zu\n", seconds / static_cast<double>(l.size()) * 1e9, x.size() + 1);
    }
    return sink == 12345.678 ? 1 : 0;
}
