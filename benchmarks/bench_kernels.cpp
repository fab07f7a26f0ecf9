// Bare kernel costs, for comparison with the whole Python calls in
// benchmarks/run_all.py.  Prints one line per measurement:
//   <name> <nanoseconds per element> <kernel calls per element>
//
// Each loop calls the kernels at exactly the arguments the exported
// functions use (the separations of the Python benchmark, the radii of the
// quadrature nodes), recorded beforehand, so that the difference from the
// Python call is the cost of everything else: conversion, quadrature
// bookkeeping, the pool and the result list.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "models/batch.hpp"
#include "models/heyrovsky.hpp"
#include "models/integrated.hpp"
#include "models/radial_integral.hpp"
#include "models/witt_mao.hpp"
#include "models/witt_mao_maps.hpp"
#include "numerics/tanh_sinh.hpp"
#include "pool/pool.hpp"

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

std::vector<double> grid(double first, double last, std::size_t n) {
    std::vector<double> values(n);
    for (std::size_t i = 0; i < n; ++i) values[i] = first + (last - first) * static_cast<double>(i) / static_cast<double>(n - 1);
    return values;
}

// The batch variants this CPU runs, narrowest first.
std::vector<lumora::batch::Variant> supported_variants() {
    std::vector<lumora::batch::Variant> out;
    for (const auto variant : {lumora::batch::Variant::scalar, lumora::batch::Variant::avx2}) {
        if (lumora::batch::supported(variant)) out.push_back(variant);
    }
    return out;
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
        // The model's map on the worker pool (its size from
        // RAYON_NUM_THREADS), without any Python conversion around it.
        const double pooled = best_seconds(5, [&] {
            const auto out = lumora::witt_mao_magnification(l, 1.0, 0.1);
            sink += out[out.size() / 2];
        });
        std::printf("disk_kernel_pool_T%zu %.2f 1\n", lumora::pool::thread_count(),
                    pooled / static_cast<double>(l.size()) * 1e9);
        // The batch kernel on the same arguments, one line per variant this
        // CPU runs (identical results; only the time differs), in
        // interleaved rounds with the plain loop so that a busy machine
        // slows all of them alike; the best round of each is printed.
        std::vector<double> u(l.size());
        const std::vector<double> rhos(l.size(), rho);
        for (std::size_t i = 0; i < l.size(); ++i) u[i] = l[i] * rho;
        std::vector<double> out(l.size());
        const auto variants = supported_variants();
        std::vector<double> best(variants.size() + 1, 1e300);
        for (int round = 0; round < 11; ++round) {
            best[0] = std::min(best[0], best_seconds(1, [&] {
                for (std::size_t i = 0; i < u.size(); ++i) out[i] = lumora::witt_mao_magnification_scaled(u[i], rho);
                sink += out[out.size() / 2];
            }));
            for (std::size_t v = 0; v < variants.size(); ++v) {
                best[v + 1] = std::min(best[v + 1], best_seconds(1, [&] {
                    lumora::batch::disk_magnification_lanes(variants[v], u.data(), rhos.data(), out.data(),
                                                                 u.size());
                    sink += out[out.size() / 2];
                }));
            }
        }
        std::printf("disk_loop %.2f 1\n", best[0] / static_cast<double>(l.size()) * 1e9);
        for (std::size_t v = 0; v < variants.size(); ++v) {
            std::printf("disk_batch_%s %.2f 1\n", lumora::batch::name(variants[v]),
                        best[v + 1] / static_cast<double>(l.size()) * 1e9);
        }
    }
    // The separations of the integrated benchmarks: 200 values from 0 to 3 source radii, re = rstar = 1.
    const std::vector<double> l = grid(0.0, 3.0, 200);
    // integrated_heyrovsky_magnification: one ring-kernel call per node, over
    // [0, l] and [l, 1] when the lens is inside the source.  The radii are
    // those the real integration visits (it may stop early).
    {
        std::vector<std::vector<double>> radii(l.size());
        std::size_t calls = 0;
        for (std::size_t i = 0; i < l.size(); ++i) {
            const auto integrand = [&](const double* r, double* y, std::size_t n) {
                for (std::size_t k = 0; k < n; ++k) {
                    radii[i].push_back(r[k]);
                    const lumora::EllipticResult a = lumora::heyrovsky_magnification(l[i], r[k], 1.0, 1.0);
                    y[k] = lumora::linear_limb_darkening(r[k]) * (lumora::two_pi * r[k] * (a ? *a : std::nan("")));
                }
            };
            lumora::integrate_over_source_radius(integrand, l[i]);
            calls += radii[i].size();
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
        std::vector<double> out;
        std::vector<char> failed;
        const auto variants = supported_variants();
        std::vector<double> best(variants.size(), 1e300);
        for (int round = 0; round < 15; ++round) {
            for (std::size_t v = 0; v < variants.size(); ++v) {
                best[v] = std::min(best[v], best_seconds(1, [&] {
                    for (std::size_t i = 0; i < l.size(); ++i) {
                        out.resize(radii[i].size());
                        failed.resize(radii[i].size());
                        lumora::batch::ring_magnification_lanes(variants[v], l[i], radii[i].data(), 1.0, 1.0,
                                                               out.data(), reinterpret_cast<bool*>(failed.data()),
                                                               out.size());
                        for (double a : out) sink += a;
                    }
                }));
            }
        }
        for (std::size_t v = 0; v < variants.size(); ++v) {
            std::printf("ring_batch_%s %.2f %.1f\n", lumora::batch::name(variants[v]),
                        best[v] / static_cast<double>(l.size()) * 1e9,
                        static_cast<double>(calls) / static_cast<double>(l.size()));
        }
    }
    // integrated_witt_mao_magnification: a disk of radius rho*sqrt(1 - x^2)
    // per node the real integration visits, plus the whole disk.
    {
        const double rho = 1.0;
        std::vector<std::vector<double>> nodes(l.size());
        std::size_t calls = 0;
        for (std::size_t i = 0; i < l.size(); ++i) {
            const double u = l[i] * rho;
            const auto integrand = [&](double x) {
                nodes[i].push_back(x);
                const double s = std::sqrt(1 - x * x);
                return s * s * lumora::witt_mao_magnification_scaled(u, rho * s);
            };
            lumora::quadrature::double_exponential::integrate(integrand, 0.0, 1.0, 1e-16);
            calls += nodes[i].size() + 1;
        }
        const double seconds = best_seconds(5, [&] {
            for (std::size_t i = 0; i < l.size(); ++i) {
                const double u = l[i] * rho;
                for (double x : nodes[i]) sink += lumora::witt_mao_magnification_scaled(u, rho * std::sqrt(1.0 - x * x));
                sink += lumora::witt_mao_magnification_scaled(u, rho);
            }
        });
        std::printf("disk_integrand %.2f %.1f\n", seconds / static_cast<double>(l.size()) * 1e9,
                    static_cast<double>(calls) / static_cast<double>(l.size()));
    }
    return sink == 12345.678 ? 1 : 0;
}
