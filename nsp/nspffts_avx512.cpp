// The 512-point forward transform of the natural-order path (bit-reversal
// permutation, then the radix-4 kernel with its radix-2 pass) for AVX-512:
// eight butterflies per instruction, one in each double lane. Compiled with
// -mavx512f and called only after a run-time check of the processor.
//
// Every lane computes exactly what the generic kernel computes for its
// butterfly: the same double operations in the same order, operands loaded
// from single precision and each pass's results rounded to single
// precision once. The generic formulas are written there with negated
// operands and factors of +-1 (x*wr + xi*(-wi), quarter turns as swapped
// components times (1, -1)); here they appear as subtractions of the
// unmultiplied values, which IEEE arithmetic makes the same numbers, signed
// zeros and infinities included (a + (-b) is a - b, x*1 is x, x*(-1) is
// -x). A butterfly of index 0 is not multiplied, as in the generic kernel:
// its lane is taken from the unmultiplied operand.
//
// Data layouts of the 512 values, indexed by n (bits 0..8) in bit-reversed
// input order, held as separate arrays of real and imaginary parts:
// - layout A for the passes of length 4, 8 and 32, which combine bits 0..4:
//   the lanes run over bits 6..8, the vectors over bits 0..5; every lane is
//   a separate group and the twiddles are the same in all lanes.
// - layout B (natural order) for the passes of length 128 and 512, which
//   combine bits 5..8: the lanes run over bits 0..2, consecutive k.
// The permutation happens while loading the input straight into layout A
// (eight consecutive input values fill one vector), and an 8 x 8 transpose
// of each block of 64 values goes from A to B.
#include <cstdint>

#include "common/intrinsics.h"
#include "nsp/nspkernels.h"

namespace {

typedef __m512d V;

struct Cv {
    V re;
    V im;
};

// Rounds to single precision and back: what a store and a reload do.
inline V rounded(V v) {
    return _mm512_cvtps_pd(_mm512_cvtpd_ps(v));
}

inline Cv rounded(Cv v) {
    return Cv{rounded(v.re), rounded(v.im)};
}

inline V add(V a, V b) {
    return _mm512_add_pd(a, b);
}

inline V sub(V a, V b) {
    return _mm512_sub_pd(a, b);
}

inline V mul(V a, V b) {
    return _mm512_mul_pd(a, b);
}

inline Cv add(Cv a, Cv b) {
    return Cv{add(a.re, b.re), add(a.im, b.im)};
}

inline Cv sub(Cv a, Cv b) {
    return Cv{sub(a.re, b.re), sub(a.im, b.im)};
}

// x * w: re = xr*wr - xi*wi, im = xi*wr + xr*wi.
inline Cv twmul(Cv x, V wr, V wi) {
    return Cv{sub(mul(x.re, wr), mul(x.im, wi)), add(mul(x.im, wr), mul(x.re, wi))};
}

// The radix-4 butterfly on twiddled operands: (a+b)+(c+d), (a-b)-i(c-d),
// (a+b)-(c+d), (a-b)+i(c-d).
inline void r4(Cv a, Cv b, Cv c, Cv d, Cv* o0, Cv* o1, Cv* o2, Cv* o3) {
    const Cv apb = add(a, b);
    const Cv amb = sub(a, b);
    const Cv cpd = add(c, d);
    const Cv cmd = sub(c, d);
    *o0 = add(apb, cpd);
    *o1 = Cv{add(amb.re, cmd.im), sub(amb.im, cmd.re)};
    *o2 = sub(apb, cpd);
    *o3 = Cv{sub(amb.re, cmd.im), add(amb.im, cmd.re)};
}

// Radix-2 butterfly u + t, u - t.
inline void r2(Cv u, Cv t, Cv* o0, Cv* o1) {
    *o0 = add(u, t);
    *o1 = sub(u, t);
}

inline Cv load(const float* re, const float* im) {
    return Cv{_mm512_cvtps_pd(_mm256_load_ps(re)), _mm512_cvtps_pd(_mm256_load_ps(im))};
}

inline void store(float* re, float* im, Cv v) {
    _mm256_store_ps(re, _mm512_cvtpd_ps(v.re));
    _mm256_store_ps(im, _mm512_cvtpd_ps(v.im));
}

inline V bcast(const double* p) {
    return _mm512_set1_pd(*p);
}

// Bit reversal of 0..7.
const int REV3[8] = {0, 4, 2, 6, 1, 5, 3, 7};

// Input and passes of length 4 and 8, block c (bits 3..5 of n): vector e
// (bits 0..2) lane h (bits 6..8) holds n = 64h + 8c + e, the input value at
// rev(n) = 64 rev(e) + 8 rev(c) + rev(h). So vector e is the eight input
// values from 64 rev(e) + 8 rev(c) on, lane h taking value rev(h).
void first_passes(const ComplexFloat* x, const double* w8, float* are, float* aim) {
    const __m512i pick = _mm512_setr_epi32(0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15);
    const V w1r = bcast(w8);
    const V w1i = bcast(w8 + 1);
    // W8^3 = -i W8^1 = (w1i, -w1r): re = xr*w1i - xi*(-w1r).
    const V w3r = w1i;
    const V w3i = _mm512_set1_pd(-w8[0]);
    for (int c = 0; c < 8; c++) {
        Cv v[8];
        for (int e = 0; e < 8; e++) {
            const float* src = reinterpret_cast<const float*>(x + 64 * REV3[e] + 8 * REV3[c]);
            const __m512 both = _mm512_permutexvar_ps(pick, _mm512_loadu_ps(src));
            v[e].re = _mm512_cvtps_pd(_mm512_castps512_ps256(both));
            v[e].im = _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(both), 1)));
        }
        // Length 4: groups (0..3) and (4..7).
        for (int g = 0; g < 8; g += 4) {
            Cv o0, o1, o2, o3;
            r4(v[g], v[g + 1], v[g + 2], v[g + 3], &o0, &o1, &o2, &o3);
            v[g] = rounded(o0);
            v[g + 1] = rounded(o1);
            v[g + 2] = rounded(o2);
            v[g + 3] = rounded(o3);
        }
        // Length 8: W8^0 unmultiplied, W8^1, the quarter turn -i, W8^3.
        Cv o[8];
        r2(v[0], v[4], &o[0], &o[4]);
        r2(v[1], twmul(v[5], w1r, w1i), &o[1], &o[5]);
        // u + (-i v) = (ur + vi, ui - vr), u - (-i v) = (ur - vi, ui + vr).
        o[2] = Cv{add(v[2].re, v[6].im), sub(v[2].im, v[6].re)};
        o[6] = Cv{sub(v[2].re, v[6].im), add(v[2].im, v[6].re)};
        r2(v[3], twmul(v[7], w3r, w3i), &o[3], &o[7]);
        for (int e = 0; e < 8; e++) store(are + 64 * c + 8 * e, aim + 64 * c + 8 * e, o[e]);
    }
}

// Pass of length 32 in layout A: group bit 5, quarter bits 3..4, k = bits
// 0..2 = the vector's position, so every vector has one twiddle for all its
// lanes. tw: for k = 0..7, (W32^2k, W32^k, W32^3k) as re, im pairs.
void pass32(float* are, float* aim, const double* tw) {
    for (int g = 0; g < 64; g += 32) {
        for (int k = 0; k < 8; k++) {
            float* r = are + 8 * (g + k);
            float* i = aim + 8 * (g + k);
            Cv a = load(r, i);
            Cv b = load(r + 64, i + 64);
            Cv c = load(r + 128, i + 128);
            Cv d = load(r + 192, i + 192);
            if (k != 0) {
                const double* t = tw + 6 * k;
                b = twmul(b, bcast(t), bcast(t + 1));
                c = twmul(c, bcast(t + 2), bcast(t + 3));
                d = twmul(d, bcast(t + 4), bcast(t + 5));
            }
            Cv o0, o1, o2, o3;
            r4(a, b, c, d, &o0, &o1, &o2, &o3);
            store(r, i, o0);
            store(r + 64, i + 64, o1);
            store(r + 128, i + 128, o2);
            store(r + 192, i + 192, o3);
        }
    }
}

// 8 x 8 transpose of floats: row e of src (stride 8) becomes column e of
// dst (row stride `stride`).
inline __attribute__((always_inline)) void transpose8(const float* src, float* dst, int stride) {
    __m256 r[8];
    for (int e = 0; e < 8; e++) r[e] = _mm256_load_ps(src + 8 * e);
    __m256 t[8];
    for (int e = 0; e < 8; e += 2) {
        t[e] = _mm256_unpacklo_ps(r[e], r[e + 1]);
        t[e + 1] = _mm256_unpackhi_ps(r[e], r[e + 1]);
    }
    __m256 u[8];
    for (int e = 0; e < 8; e += 4) {
        u[e] = _mm256_shuffle_ps(t[e], t[e + 2], _MM_SHUFFLE(1, 0, 1, 0));
        u[e + 1] = _mm256_shuffle_ps(t[e], t[e + 2], _MM_SHUFFLE(3, 2, 3, 2));
        u[e + 2] = _mm256_shuffle_ps(t[e + 1], t[e + 3], _MM_SHUFFLE(1, 0, 1, 0));
        u[e + 3] = _mm256_shuffle_ps(t[e + 1], t[e + 3], _MM_SHUFFLE(3, 2, 3, 2));
    }
    for (int h = 0; h < 4; h++) {
        _mm256_store_ps(dst + stride * h, _mm256_permute2f128_ps(u[h], u[h + 4], 0x20));
        _mm256_store_ps(dst + stride * (h + 4), _mm256_permute2f128_ps(u[h], u[h + 4], 0x31));
    }
}

// Layout A to natural order: block c (bits 3..5) vector e lane h holds
// n = 64h + 8c + e.
void to_natural(const float* are, const float* aim, float* bre, float* bim) {
    for (int c = 0; c < 8; c++) {
        transpose8(are + 64 * c, bre + 8 * c, 64);
        transpose8(aim + 64 * c, bim + 8 * c, 64);
    }
}

// One radix-4 butterfly vector of a pass with quarter m in natural order:
// k = k0 .. k0 + 7 in the lanes. tw: the block's W^2k, W^k, W^3k, eight
// real parts then eight imaginary parts each. For k0 = 0, lane 0 (k = 0)
// keeps its unmultiplied operands.
inline void r4_natural(const float* re, const float* im, int m, int k0, const double* tw, Cv* o0,
                       Cv* o1, Cv* o2, Cv* o3) {
    const Cv a = load(re, im);
    const Cv b0 = load(re + m, im + m);
    const Cv c0 = load(re + 2 * m, im + 2 * m);
    const Cv d0 = load(re + 3 * m, im + 3 * m);
    Cv b = twmul(b0, _mm512_load_pd(tw), _mm512_load_pd(tw + 8));
    Cv c = twmul(c0, _mm512_load_pd(tw + 16), _mm512_load_pd(tw + 24));
    Cv d = twmul(d0, _mm512_load_pd(tw + 32), _mm512_load_pd(tw + 40));
    if (k0 == 0) {
        const __mmask8 first = 1;
        b = Cv{_mm512_mask_mov_pd(b.re, first, b0.re), _mm512_mask_mov_pd(b.im, first, b0.im)};
        c = Cv{_mm512_mask_mov_pd(c.re, first, c0.re), _mm512_mask_mov_pd(c.im, first, c0.im)};
        d = Cv{_mm512_mask_mov_pd(d.re, first, d0.re), _mm512_mask_mov_pd(d.im, first, d0.im)};
    }
    r4(a, b, c, d, o0, o1, o2, o3);
}

void pass128(float* bre, float* bim, const double* tw) {
    for (int g = 0; g < 512; g += 128) {
        for (int k0 = 0; k0 < 32; k0 += 8) {
            float* r = bre + g + k0;
            float* i = bim + g + k0;
            Cv o0, o1, o2, o3;
            r4_natural(r, i, 32, k0, tw + 6 * k0, &o0, &o1, &o2, &o3);
            store(r, i, o0);
            store(r + 32, i + 32, o1);
            store(r + 64, i + 64, o2);
            store(r + 96, i + 96, o3);
        }
    }
}

// Eight results as interleaved (re, im) floats.
inline void store_interleaved(ComplexFloat* dst, Cv v) {
    const __m512i mix = _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
    const __m512 re = _mm512_castps256_ps512(_mm512_cvtpd_ps(v.re));
    const __m512 im = _mm512_castps256_ps512(_mm512_cvtpd_ps(v.im));
    _mm512_storeu_ps(reinterpret_cast<float*>(dst), _mm512_permutex2var_ps(re, mix, im));
}

void pass512(const float* bre, const float* bim, const double* tw, ComplexFloat* x) {
    for (int k0 = 0; k0 < 128; k0 += 8) {
        Cv o0, o1, o2, o3;
        r4_natural(bre + k0, bim + k0, 128, k0, tw + 6 * k0, &o0, &o1, &o2, &o3);
        store_interleaved(x + k0, o0);
        store_interleaved(x + k0 + 128, o1);
        store_interleaved(x + k0 + 256, o2);
        store_interleaved(x + k0 + 384, o3);
    }
}

}  // namespace

void nspcFft512FwdAvx512(ComplexFloat* x, const double* vtw) {
    alignas(64) float are[512];
    alignas(64) float aim[512];
    alignas(64) float bre[512];
    alignas(64) float bim[512];
    first_passes(x, vtw + NSP_VTW512_W8, are, aim);
    pass32(are, aim, vtw + NSP_VTW512_P32);
    to_natural(are, aim, bre, bim);
    pass128(bre, bim, vtw + NSP_VTW512_P128);
    pass512(bre, bim, vtw + NSP_VTW512_P512, x);
}
