// The path steps on Highway's vectors, one version per target (foreach_target.h
// re-includes this file once per instruction set).
//
// A group of paths (a few vectors of the target's width) goes through all the
// days of a chunk with its levels and running minima (or excesses) held in
// registers, so a step loads one shock per path and stores nothing but the
// knock-out captures. Paths short of a whole vector go a day at a time in
// plain code: the same operations on each path.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kestrel/engines/mc/kernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>
#include <kestrel/engines/mc/kernels.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

HWY_BEFORE_NAMESPACE();
namespace kestrel::engines::mc {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using D = hn::ScalableTag<double>;
using VD = hn::Vec<D>;

constexpr double kInf = std::numeric_limits<double>::infinity();

// v < l ? v : l, and t > g ? t : g: on x86 the min and max instructions,
// which are exactly these selections (the second operand on a tie or NaN).
HWY_INLINE VD lower(VD v, VD l) {
#if HWY_ARCH_X86 && HWY_TARGET != HWY_SCALAR && HWY_TARGET != HWY_EMU128
    return hn::Min(v, l);
#else
    return hn::IfThenElse(hn::Lt(v, l), v, l);
#endif
}
HWY_INLINE VD higher(VD t, VD g) {
#if HWY_ARCH_X86 && HWY_TARGET != HWY_SCALAR && HWY_TARGET != HWY_EMU128
    return hn::Max(t, g);
#else
    return hn::IfThenElse(hn::Gt(t, g), t, g);
#endif
}

// Vectors of paths a group holds through the days.
constexpr std::size_t kGroup = 4;

// Paths [p0, p0 + G lanes) through days [j0, j1).
template <std::size_t G>
HWY_INLINE std::size_t advance_group(const Steps& st, std::size_t j0, std::size_t j1, std::size_t n,
                                     const double* HWY_RESTRICT z, double* HWY_RESTRICT x,
                                     double* HWY_RESTRICT ki_min, double* HWY_RESTRICT ko, std::size_t slot,
                                     std::size_t p0) {
    const D d;
    const std::size_t N = hn::Lanes(d);
    // The plan in locals: the stores below could alias it otherwise.
    const double* const drift = st.drift;
    const double* const diffusion = st.diffusion;
    const unsigned char* const ki = st.ki;
    const std::size_t* const ko_pos = st.ko_pos;
    const std::size_t m = st.m;
    VD v[G], l[G];
    HWY_UNROLL(4)
    for (std::size_t g = 0; g < G; ++g) {
        v[g] = hn::LoadU(d, x + p0 + g * N);
        l[g] = hn::LoadU(d, ki_min + p0 + g * N);
    }
    const double* zj = z + p0;
    std::size_t s = slot;
    for (std::size_t j = j0; j < j1; ++j, zj += n) {
        const VD a = hn::Set(d, drift[j]), b = hn::Set(d, diffusion[j]);
        HWY_UNROLL(4)
        for (std::size_t g = 0; g < G; ++g) v[g] = v[g] + (a + b * hn::LoadU(d, zj + g * N));
        if (ki[j]) {
            HWY_UNROLL(4)
            for (std::size_t g = 0; g < G; ++g) l[g] = lower(v[g], l[g]);
        }
        for (; s < m && ko_pos[s] == j; ++s) {
            HWY_UNROLL(4)
            for (std::size_t g = 0; g < G; ++g) hn::StoreU(v[g], d, ko + s * n + p0 + g * N);
        }
    }
    HWY_UNROLL(4)
    for (std::size_t g = 0; g < G; ++g) {
        hn::StoreU(v[g], d, x + p0 + g * N);
        hn::StoreU(l[g], d, ki_min + p0 + g * N);
    }
    return s;
}

std::size_t Advance(const Steps& st, std::size_t j0, std::size_t j1, std::size_t n, const double* HWY_RESTRICT z,
                    double* HWY_RESTRICT x, double* HWY_RESTRICT ki_min, double* HWY_RESTRICT ko, std::size_t slot) {
    const D d;
    const std::size_t N = hn::Lanes(d);
    std::size_t p0 = 0, next = slot;
    for (; p0 + kGroup * N <= n; p0 += kGroup * N) next = advance_group<kGroup>(st, j0, j1, n, z, x, ki_min, ko, slot, p0);
    for (; p0 + N <= n; p0 += N) next = advance_group<1>(st, j0, j1, n, z, x, ki_min, ko, slot, p0);
    if (p0 == n) return next;
    // The paths left over, a day at a time.
    const double* zj = z;
    for (std::size_t j = j0; j < j1; ++j, zj += n) {
        const double a = st.drift[j], b = st.diffusion[j];
        for (std::size_t p = p0; p < n; ++p) x[p] = x[p] + (a + b * zj[p]);
        if (st.ki[j])
            for (std::size_t p = p0; p < n; ++p) ki_min[p] = x[p] < ki_min[p] ? x[p] : ki_min[p];
        for (; slot < st.m && st.ko_pos[slot] == j; ++slot) std::copy(x + p0, x + n, ko + slot * n + p0);
    }
    return slot;
}

// L levels on paths [p0, p0 + G lanes) through days [j0, j1), the levels'
// excesses in registers.
template <std::size_t L, std::size_t G>
HWY_INLINE std::size_t levels_group(const Steps& st, std::size_t j0, std::size_t j1, std::size_t n,
                                    const double* HWY_RESTRICT z, double* HWY_RESTRICT x, double* HWY_RESTRICT ko,
                                    double* HWY_RESTRICT excess, std::size_t slot, std::size_t p0) {
    const D d;
    const std::size_t N = hn::Lanes(d);
    const VD inf = hn::Set(d, kInf);
    const double* const drift = st.drift;
    const double* const diffusion = st.diffusion;
    const unsigned char* const ki = st.ki;
    const std::size_t* const ko_pos = st.ko_pos;
    const double* const inv_beta = st.inv_beta;
    const std::size_t m = st.m;
    double level_of[L];
    for (std::size_t l = 0; l < L; ++l) level_of[l] = st.levels[l];
    VD v[G], e[L][G];
    HWY_UNROLL(4)
    for (std::size_t g = 0; g < G; ++g) {
        v[g] = hn::LoadU(d, x + p0 + g * N);
        HWY_UNROLL(4)
        for (std::size_t l = 0; l < L; ++l) e[l][g] = hn::LoadU(d, excess + l * n + p0 + g * N);
    }
    const double* zj = z + p0;
    std::size_t s = slot;
    for (std::size_t j = j0; j < j1; ++j, zj += n) {
        const VD a = hn::Set(d, drift[j]), b = hn::Set(d, diffusion[j]);
        HWY_UNROLL(4)
        for (std::size_t g = 0; g < G; ++g) v[g] = v[g] + (a + b * hn::LoadU(d, zj + g * N));
        if (ki[j]) {
            const double inv = inv_beta[j];
            if (inv == kInf) {
                HWY_UNROLL(4)
                for (std::size_t l = 0; l < L; ++l) {
                    const VD level = hn::Set(d, level_of[l]);
                    HWY_UNROLL(4)
                    for (std::size_t g = 0; g < G; ++g) e[l][g] = hn::IfThenElse(hn::Lt(v[g], level), inf, e[l][g]);
                }
            } else {
                const VD w = hn::Set(d, inv);
                HWY_UNROLL(4)
                for (std::size_t l = 0; l < L; ++l) {
                    const VD level = hn::Set(d, level_of[l]);
                    HWY_UNROLL(4)
                    for (std::size_t g = 0; g < G; ++g) {
                        const VD t = (level - v[g]) * w;
                        e[l][g] = higher(t, e[l][g]);
                    }
                }
            }
        }
        for (; s < m && ko_pos[s] == j; ++s) {
            HWY_UNROLL(4)
            for (std::size_t g = 0; g < G; ++g) hn::StoreU(v[g], d, ko + s * n + p0 + g * N);
        }
    }
    HWY_UNROLL(4)
    for (std::size_t g = 0; g < G; ++g) {
        hn::StoreU(v[g], d, x + p0 + g * N);
        HWY_UNROLL(4)
        for (std::size_t l = 0; l < L; ++l) hn::StoreU(e[l][g], d, excess + l * n + p0 + g * N);
    }
    return s;
}

template <std::size_t L>
HWY_INLINE std::size_t levels_in_registers(const Steps& st, std::size_t j0, std::size_t j1, std::size_t n,
                                           const double* HWY_RESTRICT z, double* HWY_RESTRICT x,
                                           double* HWY_RESTRICT ko, double* HWY_RESTRICT excess, std::size_t slot,
                                           std::size_t& p0) {
    const std::size_t N = hn::Lanes(D());
    constexpr std::size_t G = L == 1 ? 4 : 2;
    std::size_t next = slot;
    for (; p0 + G * N <= n; p0 += G * N) next = levels_group<L, G>(st, j0, j1, n, z, x, ko, excess, slot, p0);
    for (; p0 + N <= n; p0 += N) next = levels_group<L, 1>(st, j0, j1, n, z, x, ko, excess, slot, p0);
    return next;
}

std::size_t AdvanceLevels(const Steps& st, std::size_t j0, std::size_t j1, std::size_t n,
                          const double* HWY_RESTRICT z, double* HWY_RESTRICT x, double* HWY_RESTRICT ko,
                          double* HWY_RESTRICT excess, std::size_t slot) {
    const std::size_t L = st.n_levels;
    std::size_t p0 = 0, next = slot;
    if (L == 1) next = levels_in_registers<1>(st, j0, j1, n, z, x, ko, excess, slot, p0);
    if (L == 2) next = levels_in_registers<2>(st, j0, j1, n, z, x, ko, excess, slot, p0);
    if (L == 3) next = levels_in_registers<3>(st, j0, j1, n, z, x, ko, excess, slot, p0);
    if (p0 == n) return next;
    // The rest a day at a time.
    for (std::size_t j = j0; j < j1; ++j, z += n) {
        const double a = st.drift[j], b = st.diffusion[j];
        for (std::size_t p = p0; p < n; ++p) x[p] = x[p] + (a + b * z[p]);
        if (st.ki[j]) {
            const double inv = st.inv_beta[j];
            for (std::size_t l = 0; l < L; ++l) {
                const double level = st.levels[l];
                double* g = excess + l * n;
                if (inv == kInf) {
                    for (std::size_t p = p0; p < n; ++p) g[p] = x[p] < level ? kInf : g[p];
                } else {
                    for (std::size_t p = p0; p < n; ++p) {
                        const double t = (level - x[p]) * inv;
                        g[p] = t > g[p] ? t : g[p];
                    }
                }
            }
        }
        for (; slot < st.m && st.ko_pos[slot] == j; ++slot) std::copy(x + p0, x + n, ko + slot * n + p0);
    }
    return slot;
}

// One path's local volatility on row `row` at y (LocalRows): the
// reference the vectors below compute lane by lane.
HWY_INLINE double local_vol_at(const LocalRows& lr, const double* row, double y) {
    const double last = static_cast<double>(lr.nodes - 1);
    double u = (y - lr.x0) * lr.inv_h;
    u = u >= 0 ? u : 0;
    u = u > last ? last : u;
    double f = static_cast<double>(static_cast<std::int64_t>(u));
    f = f > last - 1 ? last - 1 : f;
    const double lo = row[static_cast<std::size_t>(f)];
    return lo + (u - f) * (row[static_cast<std::size_t>(f) + 1] - lo);
}

// One day of paths [0, n) under a local volatility, x and (on a knock-in
// day) ki_min in place. Unlike the flat steps, each step's chain (the row's
// position, two gathers, the step) is long: the paths go a day at a time so
// that many vectors' chains overlap.
template <bool KnockIn>
HWY_INLINE void local_day(const LocalRows& lr, std::size_t j, std::size_t n, const double* HWY_RESTRICT z,
                          double* HWY_RESTRICT x, double* HWY_RESTRICT ki_min) {
    const D d;
    const hn::RebindToSigned<D> di;
    const std::size_t N = hn::Lanes(d);
    const double* const row = lr.vols + j * lr.nodes;
    const VD zero = hn::Zero(d);
    const VD last = hn::Set(d, static_cast<double>(lr.nodes - 1));
    const VD below_last = hn::Set(d, static_cast<double>(lr.nodes - 2));
    const VD y0 = hn::Set(d, lr.log_spot), x0 = hn::Set(d, lr.x0), inv_h = hn::Set(d, lr.inv_h);
    // (0.5 s s) dt is exactly (s s)(0.5 dt): halving is exact.
    const double hdt = 0.5 * lr.dtt[j];
    const VD c = hn::Set(d, lr.carry[j]), half_dt = hn::Set(d, hdt), root = hn::Set(d, lr.root_dtt[j]);
    std::size_t p = 0;
    for (; p + N <= n; p += N) {
        VD v = hn::LoadU(d, x + p);
        // Max and Min hold u as the reference does but for the sign of a
        // zero u, which changes neither the index nor the volatility.
        const VD u = hn::Min(hn::Max(((y0 + v) - x0) * inv_h, zero), last);
        const VD f = hn::Min(hn::Trunc(u), below_last);
        const auto i = hn::ConvertTo(di, f);
        const VD lo = hn::GatherIndex(d, row, i), hi = hn::GatherIndex(d, row + 1, i);
        const VD vol = lo + (u - f) * (hi - lo);
        v = v + ((c - (vol * vol) * half_dt) + (vol * root) * hn::LoadU(d, z + p));
        hn::StoreU(v, d, x + p);
        if constexpr (KnockIn) hn::StoreU(lower(v, hn::LoadU(d, ki_min + p)), d, ki_min + p);
    }
    // The paths short of a whole vector.
    const double cs = lr.carry[j], roots = lr.root_dtt[j];
    for (; p < n; ++p) {
        const double vol = local_vol_at(lr, row, lr.log_spot + x[p]);
        x[p] = x[p] + ((cs - (vol * vol) * hdt) + (vol * roots) * z[p]);
        if constexpr (KnockIn) ki_min[p] = x[p] < ki_min[p] ? x[p] : ki_min[p];
    }
}

std::size_t AdvanceLocal(const Steps& st, const LocalRows& lr, std::size_t j0, std::size_t j1, std::size_t n,
                         const double* HWY_RESTRICT z, double* HWY_RESTRICT x, double* HWY_RESTRICT ki_min,
                         double* HWY_RESTRICT ko, std::size_t slot) {
    for (std::size_t j = j0; j < j1; ++j, z += n) {
        if (st.ki[j])
            local_day<true>(lr, j, n, z, x, ki_min);
        else
            local_day<false>(lr, j, n, z, x, ki_min);
        for (; slot < st.m && st.ko_pos[slot] == j; ++slot) std::copy(x, x + n, ko + slot * n);
    }
    return slot;
}

}  // namespace HWY_NAMESPACE
}  // namespace kestrel::engines::mc
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <kestrel/engines/mc/dispatch.hpp>

namespace kestrel::engines::mc {

HWY_EXPORT(Advance);
HWY_EXPORT(AdvanceLevels);
HWY_EXPORT(AdvanceLocal);

std::size_t advance(const Steps& steps, std::size_t j0, std::size_t j1, std::size_t n, const double* z, double* x,
                    double* ki_min, double* ko, std::size_t slot) {
    return KESTREL_DISPATCH(Advance)(steps, j0, j1, n, z, x, ki_min, ko, slot);
}

std::size_t advance_levels(const Steps& steps, std::size_t j0, std::size_t j1, std::size_t n, const double* z,
                           double* x, double* ko, double* excess, std::size_t slot) {
    return KESTREL_DISPATCH(AdvanceLevels)(steps, j0, j1, n, z, x, ko, excess, slot);
}

std::size_t advance_local(const Steps& steps, const LocalRows& rows, std::size_t j0, std::size_t j1, std::size_t n,
                          const double* z, double* x, double* ki_min, double* ko, std::size_t slot) {
    return KESTREL_DISPATCH(AdvanceLocal)(steps, rows, j0, j1, n, z, x, ki_min, ko, slot);
}

}  // namespace kestrel::engines::mc
#endif
