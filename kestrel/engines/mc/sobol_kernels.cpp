// The quasi-random shocks' loops on Highway's vectors, one version per target
// (foreach_target.h re-includes this file once per instruction set). Each
// loop takes whole vectors, then the elements left over one at a time with
// the same operations.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kestrel/engines/mc/sobol_kernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>
#include <kestrel/engines/mc/sobol_kernels.hpp>

#include <bit>
#include <cstddef>
#include <cstdint>

HWY_BEFORE_NAMESPACE();
namespace kestrel::engines::mc {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using D = hn::ScalableTag<double>;
using VD = hn::Vec<D>;

constexpr double a1 = -3.969683028665376e+01, a2 = 2.209460984245205e+02, a3 = -2.759285104469687e+02,
                 a4 = 1.383577518672690e+02, a5 = -3.066479806614716e+01, a6 = 2.506628277459239e+00;
constexpr double b1 = -5.447609879822406e+01, b2 = 1.615858368580409e+02, b3 = -1.556989798598866e+02,
                 b4 = 6.680131188771972e+01, b5 = -1.328068155288572e+01;

void CentralNormals(const double* HWY_RESTRICT u, double* HWY_RESTRICT z, std::size_t d) {
    const D dd;
    const std::size_t N = hn::Lanes(dd);
    std::size_t k = 0;
    for (; k + N <= d; k += N) {
        const VD q = hn::LoadU(dd, u + k) - hn::Set(dd, 0.5), r = q * q;
        const VD num = (((((hn::Set(dd, a1) * r + hn::Set(dd, a2)) * r + hn::Set(dd, a3)) * r + hn::Set(dd, a4)) * r +
                         hn::Set(dd, a5)) *
                            r +
                        hn::Set(dd, a6)) *
                       q;
        const VD den = ((((hn::Set(dd, b1) * r + hn::Set(dd, b2)) * r + hn::Set(dd, b3)) * r + hn::Set(dd, b4)) * r +
                        hn::Set(dd, b5)) *
                           r +
                       hn::Set(dd, 1.0);
        hn::StoreU(num / den, dd, z + k);
    }
    for (; k < d; ++k) {
        const double q = u[k] - 0.5, r = q * q;
        z[k] = (((((a1 * r + a2) * r + a3) * r + a4) * r + a5) * r + a6) * q /
               (((((b1 * r + b2) * r + b3) * r + b4) * r + b5) * r + 1.0);
    }
}

// The set bits of word, bit b standing for base + b, into tails at count.
HWY_INLINE std::size_t unpack(std::uint64_t word, std::size_t base, std::uint64_t* HWY_RESTRICT tails,
                              std::size_t count) {
    for (; word; word &= word - 1) tails[count++] = base + static_cast<std::size_t>(std::countr_zero(word));
    return count;
}

std::size_t ShiftedUniforms(const std::uint32_t* HWY_RESTRICT x, const std::uint32_t* HWY_RESTRICT shift,
                            double* HWY_RESTRICT w, std::uint64_t* HWY_RESTRICT tails, std::size_t d) {
    const D dd;
    const hn::RebindToUnsigned<D> du;
    const hn::Rebind<std::uint32_t, D> d32;  // as many lanes as D
    const std::size_t N = hn::Lanes(dd);
    static_assert(HWY_MAX_BYTES / sizeof(double) <= 8, "a vector's mask bits fit one byte");
    // 2^-32 times is the division by 2^32, exactly.
    const VD low = hn::Set(dd, kSobolLow), high = hn::Set(dd, kSobolHigh), half = hn::Set(dd, 0.5),
             unit = hn::Set(dd, 0x1.0p-32);
    // The tails as bits of 64 dimensions at a time (N divides 64), unpacked
    // once per 64: most words have a few bits or none.
    std::uint64_t word = 0;
    std::size_t count = 0, k = 0;
    for (; k + N <= d; k += N) {
        // The 32-bit integer as a double, exactly: its bits under 2^52's.
        const auto bits = hn::PromoteTo(du, hn::Xor(hn::LoadU(d32, x + k), hn::LoadU(d32, shift + k)));
        const VD v = hn::BitCast(dd, hn::Or(bits, hn::Set(du, 0x4330000000000000ull))) - hn::Set(dd, 0x1.0p52);
        const VD u = (v + half) * unit;
        hn::StoreU(u, dd, w + k);
        std::uint8_t mask[8];
        hn::StoreMaskBits(dd, hn::Or(hn::Lt(u, low), hn::Lt(high, u)), mask);
        word |= std::uint64_t{mask[0]} << (k % 64);
        if ((k + N) % 64 == 0) {
            count = unpack(word, k + N - 64, tails, count);
            word = 0;
        }
    }
    for (; k < d; ++k) {
        w[k] = (static_cast<double>(x[k] ^ shift[k]) + 0.5) * 0x1.0p-32;
        word |= std::uint64_t{w[k] < kSobolLow || kSobolHigh < w[k]} << (k % 64);
        if ((k + 1) % 64 == 0) {
            count = unpack(word, k + 1 - 64, tails, count);
            word = 0;
        }
    }
    return unpack(word, d / 64 * 64, tails, count);
}

void XorInto(std::uint32_t* HWY_RESTRICT x, const std::uint32_t* HWY_RESTRICT v, std::size_t d) {
    const hn::ScalableTag<std::uint32_t> d32;
    const std::size_t N = hn::Lanes(d32);
    std::size_t k = 0;
    for (; k + N <= d; k += N) hn::StoreU(hn::Xor(hn::LoadU(d32, x + k), hn::LoadU(d32, v + k)), d32, x + k);
    for (; k < d; ++k) x[k] ^= v[k];
}

void Scale(double* HWY_RESTRICT o, double a, const double* HWY_RESTRICT x, std::size_t n) {
    const D dd;
    const std::size_t N = hn::Lanes(dd);
    const VD av = hn::Set(dd, a);
    std::size_t p = 0;
    for (; p + N <= n; p += N) hn::StoreU(av * hn::LoadU(dd, x + p), dd, o + p);
    for (; p < n; ++p) o[p] = a * x[p];
}

void Combine(double* HWY_RESTRICT o, double lw, const double* HWY_RESTRICT left, double rw,
             const double* HWY_RESTRICT right, double sd, const double* HWY_RESTRICT x, std::size_t n) {
    const D dd;
    const std::size_t N = hn::Lanes(dd);
    const VD lv = hn::Set(dd, lw), rv = hn::Set(dd, rw), sv = hn::Set(dd, sd);
    std::size_t p = 0;
    if (left) {
        for (; p + N <= n; p += N)
            hn::StoreU(lv * hn::LoadU(dd, left + p) + rv * hn::LoadU(dd, right + p) + sv * hn::LoadU(dd, x + p), dd,
                       o + p);
        for (; p < n; ++p) o[p] = lw * left[p] + rw * right[p] + sd * x[p];
    } else {
        for (; p + N <= n; p += N)
            hn::StoreU(rv * hn::LoadU(dd, right + p) + sv * hn::LoadU(dd, x + p), dd, o + p);
        for (; p < n; ++p) o[p] = rw * right[p] + sd * x[p];
    }
}

void Difference(double* HWY_RESTRICT o, const double* HWY_RESTRICT before, double s, std::size_t n) {
    const D dd;
    const std::size_t N = hn::Lanes(dd);
    const VD sv = hn::Set(dd, s);
    std::size_t p = 0;
    for (; p + N <= n; p += N) hn::StoreU((hn::LoadU(dd, o + p) - hn::LoadU(dd, before + p)) / sv, dd, o + p);
    for (; p < n; ++p) o[p] = (o[p] - before[p]) / s;
}

void Divide(double* HWY_RESTRICT o, double s, std::size_t n) {
    const D dd;
    const std::size_t N = hn::Lanes(dd);
    const VD sv = hn::Set(dd, s);
    std::size_t p = 0;
    for (; p + N <= n; p += N) hn::StoreU(hn::LoadU(dd, o + p) / sv, dd, o + p);
    for (; p < n; ++p) o[p] = o[p] / s;
}

}  // namespace HWY_NAMESPACE
}  // namespace kestrel::engines::mc
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <kestrel/engines/mc/dispatch.hpp>

namespace kestrel::engines::mc {

HWY_EXPORT(CentralNormals);
HWY_EXPORT(ShiftedUniforms);
HWY_EXPORT(XorInto);
HWY_EXPORT(Scale);
HWY_EXPORT(Combine);
HWY_EXPORT(Difference);
HWY_EXPORT(Divide);

void central_normals(const double* u, double* z, std::size_t d) { KESTREL_DISPATCH(CentralNormals)(u, z, d); }
std::size_t shifted_uniforms(const std::uint32_t* x, const std::uint32_t* shift, double* w, std::uint64_t* tails,
                             std::size_t d) {
    return KESTREL_DISPATCH(ShiftedUniforms)(x, shift, w, tails, d);
}
void xor_into(std::uint32_t* x, const std::uint32_t* v, std::size_t d) { KESTREL_DISPATCH(XorInto)(x, v, d); }
void scale(double* o, double a, const double* x, std::size_t n) { KESTREL_DISPATCH(Scale)(o, a, x, n); }
void combine(double* o, double lw, const double* left, double rw, const double* right, double sd, const double* x,
             std::size_t n) {
    KESTREL_DISPATCH(Combine)(o, lw, left, rw, right, sd, x, n);
}
void difference(double* o, const double* before, double s, std::size_t n) {
    KESTREL_DISPATCH(Difference)(o, before, s, n);
}
void divide(double* o, double s, std::size_t n) { KESTREL_DISPATCH(Divide)(o, s, n); }

}  // namespace kestrel::engines::mc
#endif
