// Driver for lumora_ld's models outside Python: evaluation on given points,
// the node-count search and per-value timing.  Built by
// tools/prove_ld_nodes.py and benchmarks/ld_core_speed.py (g++, -O2).
//
//   ld_kernels eval        lines "law n c1..cn rtol u rho" (law "tabulated":
//                          n = 2m, then m μ and m intensities) → A to 17 digits
//   ld_kernels stacked N   the same lines → stacked disks with N nodes per piece
//   ld_kernels small       the same lines → "K A": the orders of the small-source
//                          expansion at rtol and its value (0 nan: not served)
//   ld_kernels mid         the same lines → "S A": whether the tabulated magnified
//                          fluxes serve (u, rho) at rtol (1/0) and their value
//   ld_kernels time        lines "law n c1..cn rtol rho zlo zhi" → ns per value
//   ld_kernels disk        lines "u R" → the uniform-disk kernel A_disk(u, R)
//   ld_kernels disk_time   lines "R zlo zhi" → ns per kernel call, u/R
//                          uniform in [zlo, zhi]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ld/models/disk.hpp"
#include "ld/models/magnification.hpp"
#include "ld/models/mid_source.hpp"
#include "ld/models/profile.hpp"
#include "ld/models/small_source.hpp"
#include "ld/models/stacked.hpp"

using namespace lumora::ld;

static std::expected<Profile, ProfileError> read_profile(std::istringstream& in) {
    std::string name;
    std::size_t n = 0;
    in >> name >> n;
    std::vector<double> c(n);
    for (auto& x : c) in >> x;
    if (name == "tabulated") {
        const std::size_t m = n / 2;
        return make_tabulated_profile(std::span(c).first(m), std::span(c).subspan(m));
    }
    return make_profile(*law_from_name(name), c);
}

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "eval";
    std::string line;
    if (mode == "disk") {
        double u, r;
        while (std::cin >> u >> r) std::printf("%.17g\n", disk_magnification_unchecked(u, r));
        return 0;
    }
    if (mode == "disk_time") {
        double r, zlo, zhi;
        while (std::cin >> r >> zlo >> zhi) {
            const std::size_t count = 20000;
            std::vector<double> u(count);
            std::mt19937_64 gen(1);
            std::uniform_real_distribution<double> dist(zlo, zhi);
            for (auto& x : u) x = dist(gen) * r;
            double best = 1e300;
            volatile double sink = 0;
            for (int rep = 0; rep < 5; ++rep) {
                double sum = 0;
                const auto t0 = std::chrono::steady_clock::now();
                for (double x : u) sum += disk_magnification_unchecked(x, r);
                const auto t1 = std::chrono::steady_clock::now();
                sink = sink + sum;
                best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count() / count);
            }
            std::printf("%.1f\n", best);
        }
        return 0;
    }
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        auto profile = read_profile(in);
        if (!profile) {
            std::printf("error %s\n", profile.error().message.c_str());
            continue;
        }
        if (mode == "time") {
            double rtol, rho, zlo, zhi;
            in >> rtol >> rho >> zlo >> zhi;
            const std::size_t count = 20000;
            std::vector<double> u(count), r(count, rho), out(count);
            std::mt19937_64 gen(1);
            std::uniform_real_distribution<double> dist(zlo, zhi);
            for (auto& x : u) x = dist(gen) * rho;
            double best = 1e300;
            for (int rep = 0; rep < 5; ++rep) {
                const auto t0 = std::chrono::steady_clock::now();
                magnification(*profile, rtol, u.data(), r.data(), out.data(), count);
                const auto t1 = std::chrono::steady_clock::now();
                best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count() / count);
            }
            std::printf("%.1f\n", best);
            continue;
        }
        double rtol, u, rho;
        in >> rtol >> u >> rho;
        double a;
        if (mode == "small") {
            const SmallSource plan = plan_small_source(*profile, rtol);
            const int orders = small_source_orders(plan, u / rho, rho);
            std::printf("%d %.17g\n", orders, orders > 0 ? small_source_unchecked(plan, u, rho, orders) : NAN);
            continue;
        }
        if (mode == "mid") {
            const SmallSource columns = plan_small_source(*profile, rtol);
            const MidSource plan = plan_mid_source(columns, rtol);
            const MidPlace place = mid_source_place(plan, u / rho, rho);
            const bool served = small_source_orders(columns, u / rho, rho) == 0 && place.panel >= 0;
            std::printf("%d %.17g\n", served ? 1 : 0, served ? mid_source_unchecked(columns, plan, place, rho) : NAN);
            continue;
        }
        if (mode == "stacked") {
            const int nodes = std::atoi(argv[2]);
            a = stacked_disks_unchecked(*profile, u, rho, NodeCounts{nodes, nodes, nodes});
        } else {
            magnification(*profile, rtol, &u, &rho, &a, 1);
        }
        std::printf("%.17g\n", a);
    }
}
