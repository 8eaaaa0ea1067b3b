// Philox4x32-10 and Box-Muller on Highway's vectors, one version per target
// (foreach_target.h re-includes this file once per instruction set).
//
// Philox keeps each 32-bit word in a 64-bit lane, so that a 32 x 32 -> 64
// multiply (MulEven) gives both halves of a product at once. A vector of
// paths goes from its counters to its normals without leaving registers.
// The double-precision Box-Muller is fdlibm's logarithm and sine/cosine
// kernels without branches, the single-precision one their binary32
// counterparts on twice the lanes; sqrt and the divisions are IEEE's,
// correctly rounded on every target.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kestrel/engines/mc/draws.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>
#include <kestrel/engines/mc/draws.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

HWY_BEFORE_NAMESPACE();
namespace kestrel::engines::mc {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using D = hn::ScalableTag<double>;
using DU = hn::RebindToUnsigned<D>;
using DI = hn::RebindToSigned<D>;
using DU32 = hn::Repartition<std::uint32_t, DU>;
using VD = hn::Vec<D>;
using VU = hn::Vec<DU>;

// Philox4x32-10 (Salmon et al., SC'11), as Random123's r123::Philox4x32.
constexpr std::uint32_t kM0 = 0xD2511F53u, kM1 = 0xCD9E8D57u;
constexpr std::uint32_t kW0 = 0x9E3779B9u, kW1 = 0xBB67AE85u;

struct Keys {
    std::uint64_t k0[10], k1[10];
    explicit Keys(std::uint64_t seed) {
        std::uint32_t a = static_cast<std::uint32_t>(seed), b = static_cast<std::uint32_t>(seed >> 32);
        for (int r = 0; r < 10; ++r) {
            k0[r] = a;
            k1[r] = b;
            a += kW0;
            b += kW1;
        }
    }
};

// The four words of the counters (p, c) of each lane, each in the low half
// of a 64-bit lane.
struct Words {
    VU w0, w1, w2, w3;
};

// a * b of 64-bit lanes holding 32-bit numbers: the full 64-bit product.
HWY_INLINE VU mul32(VU a, VU b) {
#if HWY_TARGET == HWY_SCALAR
    return a * b;
#else
    const DU32 du32;
    return hn::MulEven(hn::BitCast(du32, a), hn::BitCast(du32, b));
#endif
}

HWY_INLINE Words philox(VU p, std::uint64_t c, const Keys& keys) {
    const DU du;
    const VU lo = hn::Set(du, 0xFFFFFFFFull);
    const VU m0 = hn::Set(du, std::uint64_t{kM0}), m1 = hn::Set(du, std::uint64_t{kM1});
    VU x0 = hn::And(p, lo), x1 = hn::ShiftRight<32>(p);
    VU x2 = hn::Set(du, c & 0xFFFFFFFFull), x3 = hn::Set(du, c >> 32);
    HWY_UNROLL(10)
    for (int r = 0; r < 10; ++r) {
        const VU p0 = mul32(x0, m0), p1 = mul32(x2, m1);
        const VU y0 = hn::Xor(hn::Xor(hn::ShiftRight<32>(p1), x1), hn::Set(du, keys.k0[r]));
        const VU y2 = hn::Xor(hn::Xor(hn::ShiftRight<32>(p0), x3), hn::Set(du, keys.k1[r]));
#if HWY_TARGET == HWY_SCALAR
        x1 = hn::And(p1, lo);
        x3 = hn::And(p0, lo);
#else
        // The high halves of the lanes are left as they come: MulEven reads
        // only the low ones, and the words are cut to them at the end.
        x1 = p1;
        x3 = p0;
#endif
        x0 = y0;
        x2 = y2;
    }
    return Words{hn::And(x0, lo), hn::And(x1, lo), hn::And(x2, lo), hn::And(x3, lo)};
}

// Uniform in (0, 1) from a 32-bit word x: (2x + 1) / 2^33, exact.
HWY_INLINE VD open_u01(VU x) {
    const D d;
    const DU du;
    return hn::BitCast(d, hn::Or(hn::Set(du, 0x3FF0000000000000ull), hn::ShiftLeft<20>(x))) -
           hn::Set(d, 1.0 - 0x1.0p-33);
}

// Natural logarithm of u in (0, 1), u normal: fdlibm's reduction and
// polynomial (below 1 ulp), without branches.
HWY_INLINE VD log_unit(VD u) {
    const D d;
    const DU du;
    const DI di;
    const VD ln2_hi = hn::Set(d, 6.93147180369123816490e-01), ln2_lo = hn::Set(d, 1.90821492927058770002e-10);
    const VD Lg1 = hn::Set(d, 6.666666666666735130e-01), Lg2 = hn::Set(d, 3.999999999940941908e-01),
             Lg3 = hn::Set(d, 2.857142874366239149e-01), Lg4 = hn::Set(d, 2.222219843214978396e-01),
             Lg5 = hn::Set(d, 1.818357216161805012e-01), Lg6 = hn::Set(d, 1.531383769920937332e-01),
             Lg7 = hn::Set(d, 1.479819860511658591e-01);
    const VU bits = hn::BitCast(du, u);
    const VU mb = hn::And(bits, hn::Set(du, 0x000FFFFFFFFFFFFFull));
    // sqrt(2) = 1.6A09E667F3BCD p0: mantissa in (sqrt(2)/2, sqrt(2)], and the
    // exponent to match as a double (exact through 2^52).
    const VU high = hn::ShiftRight<63>(hn::BitCast(
        du, hn::VecFromMask(di, hn::Gt(hn::BitCast(di, mb), hn::Set(di, std::int64_t{0x6A09E667F3BCD})))));
    const VD m = hn::BitCast(d, hn::Or(mb, hn::Sub(hn::Set(du, 0x3FF0000000000000ull), hn::ShiftLeft<52>(high))));
    const VD k = hn::BitCast(d, hn::Or(hn::Add(hn::ShiftRight<52>(bits), high), hn::Set(du, 0x4330000000000000ull))) -
                 hn::Set(d, 0x1.0p52 + 1023.0);
    const VD one = hn::Set(d, 1.0);
    const VD f = m - one;
    const VD s = f / (hn::Set(d, 2.0) + f);
    const VD z = s * s;
    const VD w = z * z;
    const VD t1 = w * (Lg2 + w * (Lg4 + w * Lg6));
    const VD t2 = z * (Lg1 + w * (Lg3 + w * (Lg5 + w * Lg7)));
    const VD R = t2 + t1;
    const VD hfsq = hn::Set(d, 0.5) * f * f;
    return k * ln2_hi - ((hfsq - (s * (hfsq + R) + k * ln2_lo)) - f);
}

// cos and sin of 2 pi u for u in (0, 1): the quadrant exactly from 4u, the
// rest fdlibm's kernels on [-pi/4, pi/4].
HWY_INLINE void cos_sin_turn(VD u, VD& c_out, VD& s_out) {
    const D d;
    const DU du;
    const VD S1 = hn::Set(d, -1.66666666666666324348e-01), S2 = hn::Set(d, 8.33333333332248946124e-03),
             S3 = hn::Set(d, -1.98412698298579493134e-04), S4 = hn::Set(d, 2.75573137070700676789e-06),
             S5 = hn::Set(d, -2.50507602534068634195e-08), S6 = hn::Set(d, 1.58969099521155010221e-10);
    const VD C1 = hn::Set(d, 4.16666666666666019037e-02), C2 = hn::Set(d, -1.38888888888741095749e-03),
             C3 = hn::Set(d, 2.48015872894767294178e-05), C4 = hn::Set(d, -2.75573143513906633035e-07),
             C5 = hn::Set(d, 2.08757232129817482790e-09), C6 = hn::Set(d, -1.13596475577881948265e-11);
    const VD magic = hn::Set(d, 0x1.8p52);
    const VD t = hn::Set(d, 4.0) * u;
    const VD y = t + magic;
    const VU q = hn::BitCast(du, y);  // low bits: round(4u)
    const VD x = (t - (y - magic)) * hn::Set(d, 1.57079632679489661923);
    const VD z = x * x;
    const VD v = z * x;
    const VD rs = S2 + z * (S3 + z * (S4 + z * (S5 + z * S6)));
    const VD sn = x + v * (S1 + z * rs);
    const VD w2 = z * z;
    const VD rc = z * (C1 + z * (C2 + z * C3)) + w2 * w2 * (C4 + z * (C5 + z * C6));
    const VD hz = hn::Set(d, 0.5) * z;
    const VD one = hn::Set(d, 1.0);
    const VD wc = one - hz;
    const VD cs = wc + (((one - wc) - hz) + z * rc);
    // Rotate by the quadrant: swap on odd quadrants, then the signs.
    const VU one_u = hn::Set(du, 1), two_u = hn::Set(du, 2);
    const VU swap = hn::Sub(hn::Zero(du), hn::And(q, one_u));
    const VU cb = hn::BitCast(du, cs), sb = hn::BitCast(du, sn);
    c_out = hn::BitCast(d, hn::Xor(hn::Or(hn::AndNot(swap, cb), hn::And(sb, swap)),
                                   hn::ShiftLeft<62>(hn::And(hn::Add(q, one_u), two_u))));
    s_out = hn::BitCast(d, hn::Xor(hn::Or(hn::AndNot(swap, sb), hn::And(cb, swap)), hn::ShiftLeft<62>(hn::And(q, two_u))));
}

// Box-Muller in double: normals za, zb from the words ua (radius) and ub
// (angle).
HWY_INLINE void box_muller(VU ua, VU ub, VD& za, VD& zb) {
    const D d;
    const VD rad = hn::Sqrt(hn::Set(d, -2.0) * log_unit(open_u01(ua)));
    VD c, s;
    cos_sin_turn(open_u01(ub), c, s);
    za = rad * c;
    zb = rad * s;
}

// Single precision. A word x is the float (x + 1/2) / 2^32: x rounded to
// float (its high and low 16 bits are exact in float, so their sum is
// rounded once), then the half added and the power of two applied.
template <class DF>
HWY_INLINE hn::Vec<DF> uniform_f(DF df, hn::Vec<hn::RebindToUnsigned<DF>> x) {
    using VF = hn::Vec<DF>;
    const hn::RebindToUnsigned<DF> du;
    const hn::RebindToSigned<DF> di;
    const VF hi = hn::ConvertTo(df, hn::BitCast(di, hn::ShiftRight<16>(x)));
    const VF lo = hn::ConvertTo(df, hn::BitCast(di, hn::And(x, hn::Set(du, 0xFFFFu))));
    return (hi * hn::Set(df, 65536.0f) + lo + hn::Set(df, 0.5f)) * hn::Set(df, 0x1p-32f);
}

// Natural logarithm of u in (0, 1], u normal, in float: fdlibm's logf
// reduction and polynomial, without branches.
template <class DF>
HWY_INLINE hn::Vec<DF> log_unit_f(DF df, hn::Vec<DF> u) {
    using VF = hn::Vec<DF>;
    using VFU = hn::Vec<hn::RebindToUnsigned<DF>>;
    const hn::RebindToUnsigned<DF> du;
    const hn::RebindToSigned<DF> di;
    const VF ln2_hi = hn::Set(df, 6.9313812256e-01f), ln2_lo = hn::Set(df, 9.0580006145e-06f);
    const VF Lg1 = hn::Set(df, 0xaaaaaa.0p-24f), Lg2 = hn::Set(df, 0xccce13.0p-25f), Lg3 = hn::Set(df, 0x91e9ee.0p-25f),
             Lg4 = hn::Set(df, 0xf89e26.0p-26f);
    const VFU bits = hn::BitCast(du, u);
    const VFU mb = hn::And(bits, hn::Set(du, 0x007FFFFFu));
    // sqrt(2) = 1.3504F3 p0
    const VFU high = hn::ShiftRight<31>(
        hn::BitCast(du, hn::VecFromMask(di, hn::Gt(hn::BitCast(di, mb), hn::Set(di, std::int32_t{0x3504F3})))));
    const VF m = hn::BitCast(df, hn::Or(mb, hn::Sub(hn::Set(du, 0x3F800000u), hn::ShiftLeft<23>(high))));
    const VF k = hn::ConvertTo(
        df, hn::Sub(hn::BitCast(di, hn::Add(hn::ShiftRight<23>(bits), high)), hn::Set(di, std::int32_t{127})));
    const VF f = m - hn::Set(df, 1.0f);
    const VF s = f / (hn::Set(df, 2.0f) + f);
    const VF z = s * s;
    const VF w = z * z;
    const VF t1 = w * (Lg2 + w * Lg4);
    const VF t2 = z * (Lg1 + w * Lg3);
    const VF R = t2 + t1;
    const VF hfsq = hn::Set(df, 0.5f) * f * f;
    return k * ln2_hi - ((hfsq - (s * (hfsq + R) + k * ln2_lo)) - f);
}

// cos and sin of 2 pi u for u in [0, 1] in float: the quadrant exactly from
// 4u, then minimax polynomials on [-pi/4, pi/4].
template <class DF>
HWY_INLINE void cos_sin_turn_f(DF df, hn::Vec<DF> u, hn::Vec<DF>& c_out, hn::Vec<DF>& s_out) {
    using VF = hn::Vec<DF>;
    using VFU = hn::Vec<hn::RebindToUnsigned<DF>>;
    const hn::RebindToUnsigned<DF> du;
    const VF S1 = hn::Set(df, -1.6666654611e-1f), S2 = hn::Set(df, 8.3321608736e-3f),
             S3 = hn::Set(df, -1.9515295891e-4f);
    const VF C1 = hn::Set(df, 4.166664568298827e-2f), C2 = hn::Set(df, -1.388731625493765e-3f),
             C3 = hn::Set(df, 2.443315711809948e-5f);
    const VF magic = hn::Set(df, 0x1.8p23f);
    const VF t = hn::Set(df, 4.0f) * u;
    const VF y = t + magic;
    const VFU q = hn::BitCast(du, y);  // low bits: round(4u)
    const VF x = (t - (y - magic)) * hn::Set(df, 1.57079632679489661923f);
    const VF z = x * x;
    const VF sn = x + ((S3 * z + S2) * z + S1) * z * x;
    const VF cs = (hn::Set(df, 1.0f) - hn::Set(df, 0.5f) * z) + ((C3 * z + C2) * z + C1) * z * z;
    const VFU one_u = hn::Set(du, 1u), two_u = hn::Set(du, 2u);
    const VFU swap = hn::Sub(hn::Zero(du), hn::And(q, one_u));
    const VFU cb = hn::BitCast(du, cs), sb = hn::BitCast(du, sn);
    c_out = hn::BitCast(df, hn::Xor(hn::Or(hn::AndNot(swap, cb), hn::And(sb, swap)),
                                    hn::ShiftLeft<30>(hn::And(hn::Add(q, one_u), two_u))));
    s_out =
        hn::BitCast(df, hn::Xor(hn::Or(hn::AndNot(swap, sb), hn::And(cb, swap)), hn::ShiftLeft<30>(hn::And(q, two_u))));
}

// Box-Muller in float on the words of two vectors of paths, a (the first)
// and b (the next): the normals of a in za_a, zb_a, of b in za_b, zb_b.
// The words of both go into one vector of floats, twice the lanes of D.
HWY_INLINE void box_muller_single(VU ua_a, VU ua_b, VU ub_a, VU ub_b, VD& za_a, VD& za_b, VD& zb_a, VD& zb_b) {
    const D d;
#if HWY_TARGET == HWY_SCALAR
    // One lane: a and b in turn.
    const hn::Rebind<float, D> df;
    const hn::Rebind<std::uint32_t, D> du;
    auto one = [&](VU ua, VU ub, VD& za, VD& zb) {
        const auto rad = hn::Sqrt(hn::Set(df, -2.0f) * log_unit_f(df, uniform_f(df, hn::TruncateTo(du, ua))));
        hn::Vec<decltype(df)> c, s;
        cos_sin_turn_f(df, uniform_f(df, hn::TruncateTo(du, ub)), c, s);
        za = hn::PromoteTo(d, rad * c);
        zb = hn::PromoteTo(d, rad * s);
    };
    one(ua_a, ub_a, za_a, zb_a);
    one(ua_b, ub_b, za_b, zb_b);
#else
    const hn::Repartition<float, D> df;
    const hn::RebindToUnsigned<decltype(df)> du;
    const hn::Half<decltype(df)> dh;
    // Lanes of a in the lower half, of b in the upper.
    const auto u = uniform_f(df, hn::ConcatEven(du, hn::BitCast(du, ua_b), hn::BitCast(du, ua_a)));
    const auto v = uniform_f(df, hn::ConcatEven(du, hn::BitCast(du, ub_b), hn::BitCast(du, ub_a)));
    const auto rad = hn::Sqrt(hn::Set(df, -2.0f) * log_unit_f(df, u));
    hn::Vec<decltype(df)> c, s;
    cos_sin_turn_f(df, v, c, s);
    const auto pa = rad * c, pb = rad * s;
    za_a = hn::PromoteTo(d, hn::LowerHalf(dh, pa));
    za_b = hn::PromoteTo(d, hn::UpperHalf(dh, pa));
    zb_a = hn::PromoteTo(d, hn::LowerHalf(dh, pb));
    zb_b = hn::PromoteTo(d, hn::UpperHalf(dh, pb));
#endif
}

constexpr std::size_t kMaxLanes = HWY_MAX_BYTES / sizeof(double);

// Stores v at out[0 .. count), count <= lanes.
HWY_INLINE void store_first(VD v, double* out, std::size_t count) {
    const D d;
    HWY_ALIGN double buf[kMaxLanes];
    hn::Store(v, d, buf);
    std::memcpy(out, buf, count * sizeof(double));
}

// Paths made at a time: their words (4 KiB) stay in L1 between the stages.
constexpr std::size_t kChunk = 128;

// Two stages, each a short loop the processor overlaps across iterations:
// Philox's words of a chunk of paths, then Box-Muller on them.
void NormalQuads(std::uint64_t first, std::size_t n, std::uint64_t c, std::uint64_t seed, bool single,
                 double* const* zs) {
    const D d;
    const DU du;
    const std::size_t N = hn::Lanes(d);
    static_assert(kChunk % (2 * kMaxLanes) == 0);
    const Keys keys(seed);
    const VU lane = hn::Iota(du, 0);  // made once: Iota goes through memory
    HWY_ALIGN std::uint64_t w[4][kChunk];
    for (std::size_t i0 = 0; i0 < n; i0 += kChunk) {
        const std::size_t m = std::min(kChunk, n - i0);
        const std::size_t vectors = (m + (single ? 2 * N : N) - 1) / (single ? 2 * N : N) * (single ? 2 : 1);
        for (std::size_t v = 0; v < vectors; ++v) {
            const Words x = philox(hn::Add(hn::Set(du, first + i0 + v * N), lane), c, keys);
            hn::Store(x.w0, du, w[0] + v * N);
            hn::Store(x.w1, du, w[1] + v * N);
            hn::Store(x.w2, du, w[2] + v * N);
            hn::Store(x.w3, du, w[3] + v * N);
        }
        double* z[4] = {zs[0] + i0, zs[1] + i0, zs[2] + i0, zs[3] + i0};
        if (!single) {
            // One pair of words at a time: a short loop body, so that the
            // processor overlaps iterations (the divisions and square roots
            // are long chains).
            for (std::size_t k = 0; k < 4; k += 2) {
                std::size_t i = 0;
                for (; i + 2 * N <= m; i += 2 * N) {
                    VD za0, zb0, za1, zb1;
                    box_muller(hn::Load(du, w[k] + i), hn::Load(du, w[k + 1] + i), za0, zb0);
                    box_muller(hn::Load(du, w[k] + i + N), hn::Load(du, w[k + 1] + i + N), za1, zb1);
                    hn::StoreU(za0, d, z[k] + i);
                    hn::StoreU(zb0, d, z[k + 1] + i);
                    hn::StoreU(za1, d, z[k] + i + N);
                    hn::StoreU(zb1, d, z[k + 1] + i + N);
                }
                for (; i < m; i += N) {
                    VD za, zb;
                    box_muller(hn::Load(du, w[k] + i), hn::Load(du, w[k + 1] + i), za, zb);
                    if (i + N <= m) {
                        hn::StoreU(za, d, z[k] + i);
                        hn::StoreU(zb, d, z[k + 1] + i);
                    } else {
                        store_first(za, z[k] + i, m - i);
                        store_first(zb, z[k + 1] + i, m - i);
                    }
                }
            }
            continue;
        }
        for (std::size_t i = 0; i < m; i += 2 * N) {
            VD out[4][2];
            for (std::size_t k = 0; k < 4; k += 2)
                box_muller_single(hn::Load(du, w[k] + i), hn::Load(du, w[k] + i + N), hn::Load(du, w[k + 1] + i),
                                  hn::Load(du, w[k + 1] + i + N), out[k][0], out[k][1], out[k + 1][0],
                                  out[k + 1][1]);
            for (std::size_t k = 0; k < 4; ++k) {
                if (i + 2 * N <= m) {
                    hn::StoreU(out[k][0], d, z[k] + i);
                    hn::StoreU(out[k][1], d, z[k] + i + N);
                } else if (i + N <= m) {
                    hn::StoreU(out[k][0], d, z[k] + i);
                    store_first(out[k][1], z[k] + i + N, m - i - N);
                } else {
                    store_first(out[k][0], z[k] + i, m - i);
                }
            }
        }
    }
}

std::int64_t Target() { return HWY_TARGET; }

}  // namespace HWY_NAMESPACE
}  // namespace kestrel::engines::mc
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <kestrel/engines/mc/dispatch.hpp>

namespace kestrel::engines::mc {

HWY_EXPORT(NormalQuads);
HWY_EXPORT(Target);

void normal_quads(std::uint64_t first, std::size_t n, std::uint64_t c, std::uint64_t seed, bool single,
                  double* const z[4]) {
    KESTREL_DISPATCH(NormalQuads)(first, n, c, seed, single, z);
}

std::int64_t dispatched_target() { return KESTREL_DISPATCH(Target)(); }

}  // namespace kestrel::engines::mc

namespace kestrel::random_sample {
namespace {
thread_local std::int64_t t_targets = 0;
}  // namespace

std::int64_t thread_targets() noexcept { return t_targets; }

ScopedTargets::ScopedTargets(std::int64_t targets) noexcept : previous_(t_targets) { t_targets = targets; }

ScopedTargets::~ScopedTargets() { t_targets = previous_; }
}  // namespace kestrel::random_sample
#endif
