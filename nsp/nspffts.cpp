// The complex FFT entry nspcFft, its transform drivers and butterfly
// kernels.
//
// Precision contract of every butterfly: operands are loaded from single
// precision into doubles; products and sums are formed in double
// precision in the order written, intermediate values (twiddled operands,
// partial sums) stay in double; each output is rounded to single precision
// exactly once, at its store. Complex products are always
//   re = xr*wr - xi*wi,  im = xr*wi + xi*wr
// and products by a conjugate twiddle are the same formula with (wr, -wi).
// Since a product of two floats is exact in double, a butterfly on loaded
// values rounds only in its sums, and those rarely change the final float.
// Quarter turns (-i, +i) and the twiddle symmetries of the length-8 and
// length-16 passes are exact component swaps and sign changes; a twiddle
// of index 0 is not multiplied at all. Every other twiddle, including the
// table's exact (0, -1) entries in the passes of length 32 and up, is a
// full complex product; the two ways can differ only in the sign of a
// zero result.
//
// The forward 512-point transform of the natural-order path also has a
// vector kernel (nspffts_avx512.cpp) whose lanes follow this contract
// butterfly by butterfly, so it gives the same bits; nspcFft picks it at
// the instruction-set level ISA_AVX512 (common/cpu.h).
#include "nsp/nspkernels.h"

#include "common/cpu.h"
#include "nsp/nsp.h"
#include "nsp/nspstate.h"
#include "nsp/nsptables.h"

const float NSP_SPLIT_SQRT_HALF = 0.707107f;

namespace {

// Length of the pieces transformed by the small kernels and of the blocks
// they are first joined into above 1024 points.
const int32_t PIECE = 1024;
const int32_t BLOCK = 16384;
const int32_t SLICE = 256;

// One complex value in double precision, {re, im}. Arithmetic on it is
// lane by lane, so each lane gets exactly the IEEE double operation that
// the scalar formula names; the pair only lets the compiler issue both
// lanes at once.
typedef double Cd __attribute__((vector_size(16)));

inline Cd load(const ComplexFloat& v) {
    return Cd{v.re, v.im};
}

inline void store(ComplexFloat& d, Cd v) {
    d.re = static_cast<float>(v[0]);
    d.im = static_cast<float>(v[1]);
}

inline Cd swapped(Cd x) {
    return Cd{x[1], x[0]};
}

// x * w (FWD) or x * conj(w): re = xr*wr - xi*wi, im = xr*wi + xi*wr with
// (wr, -wi) for the conjugate. The lanes compute xr*wr + xi*(-wi) and
// xi*wr + xr*wi, which IEEE addition makes identical to those formulas.
template <bool FWD>
inline Cd twmul(Cd x, ComplexFloat w) {
    const Cd wr{w.re, w.re};
    const Cd wi = FWD ? Cd{-w.im, w.im} : Cd{w.im, -w.im};
    return x * wr + swapped(x) * wi;
}

// -i * x = (xi, -xr) (FWD) or +i * x = (-xi, xr); the factors +-1 are exact.
template <bool FWD>
inline Cd quarter(Cd x) {
    return FWD ? swapped(x) * Cd{1.0, -1.0} : swapped(x) * Cd{-1.0, 1.0};
}

inline ComplexFloat minus_i(ComplexFloat w) {
    return ComplexFloat{w.im, -w.re};
}

// The radix-4 decimation-in-time butterfly on already twiddled operands:
// (a+b)+(c+d), (a-b)-i(c-d), (a+b)-(c+d), (a-b)+i(c-d) for the forward
// direction, the quarter turns reversed for the inverse.
template <bool FWD>
inline void r4_out(ComplexFloat* x0, ComplexFloat* x1, ComplexFloat* x2, ComplexFloat* x3, Cd a,
                   Cd b, Cd c, Cd d) {
    const Cd apb = a + b;
    const Cd amb = a - b;
    const Cd cpd = c + d;
    const Cd rot = quarter<FWD>(c - d);
    store(*x0, apb + cpd);
    store(*x1, amb + rot);
    store(*x2, apb - cpd);
    store(*x3, amb - rot);
}

// Radix-2 decimation-in-time butterfly with t = v*w already formed.
inline void r2_out(ComplexFloat* u, ComplexFloat* v, Cd a, Cd t) {
    store(*u, a + t);
    store(*v, a - t);
}

// ----------------------------------------------------- radix-4 passes

template <bool FWD>
void pass4(ComplexFloat* x, int32_t n) {
    for (int32_t g = 0; g < n; g += 4) {
        ComplexFloat* p = x + g;
        r4_out<FWD>(p, p + 1, p + 2, p + 3, load(p[0]), load(p[1]), load(p[2]), load(p[3]));
    }
}

// Radix-2 pass of group length 8 for odd orders. W8^1 = (c, -c) is the
// first twiddle of radix-4 entry N/8; W8^2 is the quarter turn and W8^3 =
// -i * W8^1.
template <bool FWD>
void pass8(ComplexFloat* x, int32_t n, const ComplexFloat* twd) {
    const ComplexFloat w1 = twd[3 * (n / 8)];
    const ComplexFloat w3 = minus_i(w1);
    for (int32_t g = 0; g < n; g += 8) {
        ComplexFloat* p = x + g;
        r2_out(p, p + 4, load(p[0]), load(p[4]));
        r2_out(p + 1, p + 5, load(p[1]), twmul<FWD>(load(p[5]), w1));
        r2_out(p + 2, p + 6, load(p[2]), quarter<FWD>(load(p[6])));
        r2_out(p + 3, p + 7, load(p[3]), twmul<FWD>(load(p[7]), w3));
    }
}

// Radix-4 pass of group length 16. It reads only entry N/16 (W16^1,
// W16^2, W16^3); W16^4 is the quarter turn, W16^6 = -i * W16^2 and
// W16^9 = (im W16^3, re W16^3), the same float values the entries of
// N/8 and 3N/16 hold.
template <bool FWD>
void pass16(ComplexFloat* x, int32_t n, const ComplexFloat* twd) {
    const ComplexFloat* e = twd + 3 * (n / 16);
    const ComplexFloat w1 = e[0];
    const ComplexFloat w2 = e[1];
    const ComplexFloat w3 = e[2];
    const ComplexFloat w6 = minus_i(w2);
    const ComplexFloat w9{w3.im, w3.re};
    for (int32_t g = 0; g < n; g += 16) {
        ComplexFloat* p = x + g;
        r4_out<FWD>(p, p + 4, p + 8, p + 12, load(p[0]), load(p[4]), load(p[8]), load(p[12]));
        r4_out<FWD>(p + 1, p + 5, p + 9, p + 13, load(p[1]), twmul<FWD>(load(p[5]), w2),
                    twmul<FWD>(load(p[9]), w1), twmul<FWD>(load(p[13]), w3));
        r4_out<FWD>(p + 2, p + 6, p + 10, p + 14, load(p[2]), quarter<FWD>(load(p[6])),
                    twmul<FWD>(load(p[10]), w2), twmul<FWD>(load(p[14]), w6));
        r4_out<FWD>(p + 3, p + 7, p + 11, p + 15, load(p[3]), twmul<FWD>(load(p[7]), w6),
                    twmul<FWD>(load(p[11]), w3), twmul<FWD>(load(p[15]), w9));
    }
}

// Radix-4 pass of group length L >= 32: for k = 1..L/4-1, entry
// j = k*N/L gives (W_L^k, W_L^2k, W_L^3k); the second quarter of a group
// takes the double angle, the third the single angle (the four
// sub-transforms stand in bit-reversed order).
template <bool FWD, int32_t L>
void pass_r4(ComplexFloat* x, int32_t n, const ComplexFloat* twd) {
    const int32_t m = L / 4;
    const int32_t stride = 3 * (n / L);
    for (int32_t g = 0; g < n; g += L) {
        ComplexFloat* p = x + g;
        r4_out<FWD>(p, p + m, p + 2 * m, p + 3 * m, load(p[0]), load(p[m]), load(p[2 * m]),
                    load(p[3 * m]));
        const ComplexFloat* e = twd + stride;
        for (int32_t k = 1; k < m; k++, e += stride) {
            ComplexFloat* q = p + k;
            r4_out<FWD>(q, q + m, q + 2 * m, q + 3 * m, load(q[0]), twmul<FWD>(load(q[m]), e[1]),
                        twmul<FWD>(load(q[2 * m]), e[0]), twmul<FWD>(load(q[3 * m]), e[2]));
        }
    }
}

template <bool FWD>
void radix4(ComplexFloat* x, int32_t n, const ComplexFloat* twd) {
    pass4<FWD>(x, n);
    const bool odd = (static_cast<uint32_t>(n) & 0xAAAAAAAAu) != 0;
    if (odd && n >= 8) pass8<FWD>(x, n, twd);
    if (n >= 16 && !odd) pass16<FWD>(x, n, twd);
    if (n >= 32 && odd) pass_r4<FWD, 32>(x, n, twd);
    if (n >= 64 && !odd) pass_r4<FWD, 64>(x, n, twd);
    if (n >= 128 && odd) pass_r4<FWD, 128>(x, n, twd);
    if (n >= 256 && !odd) pass_r4<FWD, 256>(x, n, twd);
    if (n >= 512 && odd) pass_r4<FWD, 512>(x, n, twd);
    if (n >= 1024 && !odd) pass_r4<FWD, 1024>(x, n, twd);
}

void two_point(ComplexFloat* x) {
    const Cd a = load(x[0]);
    const Cd b = load(x[1]);
    r2_out(x, x + 1, a, b);
}

// --------------------------------------------------- split-radix kernel

// Eighth-turn products with the constant K, formed from sums and
// differences of components: z * K(1 - i) = ((zr + zi)K, (zi - zr)K) and
// z * K(-1 - i) = ((zi - zr)K, -(zr + zi)K); for the inverse z * K(1 + i) =
// ((zr - zi)K, (zr + zi)K) and z * K(-1 + i) = (-(zr + zi)K, (zr - zi)K).
// In lanes: (z + quarter(z)) * K and (quarter(z) - z) * K.
template <bool FWD>
inline void store_eighth(ComplexFloat* d, Cd z) {
    const double k = NSP_SPLIT_SQRT_HALF;
    store(*d, (z + quarter<FWD>(z)) * Cd{k, k});
}

template <bool FWD>
inline void store_three_eighths(ComplexFloat* d, Cd z) {
    const double k = NSP_SPLIT_SQRT_HALF;
    store(*d, (quarter<FWD>(z) - z) * Cd{k, k});
}

// One L-shaped butterfly of the stage of length n at i0, for a kernel of
// N points with split-radix table twd.
template <bool FWD>
void split_l(ComplexFloat* x, int32_t i0, int32_t n, int32_t N, const ComplexFloat* twd) {
    const int32_t q = n / 4;
    ComplexFloat* x0 = x + i0;
    ComplexFloat* x1 = x0 + q;
    ComplexFloat* x2 = x1 + q;
    ComplexFloat* x3 = x2 + q;
    const int32_t eighth = q / 2;
    const int32_t scale = N / n;
    for (int32_t j = 0; j < q; j++) {
        const Cd a0 = load(x0[j]);
        const Cd a1 = load(x1[j]);
        const Cd a2 = load(x2[j]);
        const Cd a3 = load(x3[j]);
        const Cd r1 = a0 - a2;
        const Cd r2 = a1 - a3;
        store(x0[j], a0 + a2);
        store(x1[j], a1 + a3);
        // z2 = r1 - i r2 and z3 = r1 + i r2 (forward); reversed turns for
        // the inverse.
        const Cd rot = quarter<FWD>(r2);
        const Cd z2 = r1 + rot;
        const Cd z3 = r1 - rot;
        if (j == 0) {
            store(x2[j], z2);
            store(x3[j], z3);
        } else if (j == eighth) {
            store_eighth<FWD>(x2 + j, z2);
            store_three_eighths<FWD>(x3 + j, z3);
        } else if (j < eighth) {
            const ComplexFloat* e = twd + 2 * (j * scale - 1);
            store(x2[j], twmul<FWD>(z2, e[0]));
            store(x3[j], twmul<FWD>(z3, e[1]));
        } else {
            // W_n^j = -i conj(W_n^(q-j)), W_n^3j = +i conj(W_n^3(q-j)).
            const ComplexFloat* e = twd + 2 * ((q - j) * scale - 1);
            const ComplexFloat w1{-e[0].im, -e[0].re};
            const ComplexFloat w3{e[1].im, e[1].re};
            store(x2[j], twmul<FWD>(z2, w1));
            store(x3[j], twmul<FWD>(z3, w3));
        }
    }
}

template <bool FWD>
void split_kernel(ComplexFloat* x, int32_t N, const ComplexFloat* twd) {
    for (int32_t n = N; n >= 4; n /= 2) {
        for (int32_t start = 0, step = 2 * n; start < N; start = 2 * step - n, step *= 4) {
            for (int32_t i0 = start; i0 < N; i0 += step) split_l<FWD>(x, i0, n, N, twd);
        }
    }
    for (int32_t start = 0, step = 4; start < N; start = 2 * step - 2, step *= 4) {
        for (int32_t i0 = start; i0 < N; i0 += step) two_point(x + i0);
    }
}

// ------------------------------------------------------ joining stages

// Twiddle source of the joining stages: the 16384-point part of the long
// table inside 16384-point blocks of a longer transform, else its main
// part. Sets the table base and its period.
void join_source(const ComplexFloat* twd, int32_t sub, int32_t N, const ComplexFloat** base,
                 int32_t* period) {
    if (N > BLOCK && sub < BLOCK) {
        *base = twd + N / 4;
        *period = BLOCK;
    } else {
        *base = twd;
        *period = N;
    }
}

template <bool FWD>
void combine(ComplexFloat* x, int32_t len, int32_t sub, const ComplexFloat* twd, int32_t N,
             int32_t slice) {
    const ComplexFloat* base;
    int32_t period;
    join_source(twd, sub, N, &base, &period);
    const int32_t per_half = slice / 2 > 0 ? slice / 2 : 1;
    for (int32_t s = sub; s < len; s *= 2) {
        const int32_t half = s / 2;
        const int32_t stride = period / (2 * s);
        for (int32_t k0 = 0; k0 < half; k0 += per_half) {
            const int32_t k1 = k0 + per_half < half ? k0 + per_half : half;
            for (int32_t p = 0; p < len; p += 2 * s) {
                ComplexFloat* u = x + p;
                ComplexFloat* v = u + s;
                for (int32_t k = k0; k < k1; k++) {
                    const ComplexFloat w = base[k * stride];
                    r2_out(u + k, v + k, load(u[k]), twmul<FWD>(load(v[k]), w));
                }
                for (int32_t k = k0; k < k1; k++) {
                    const ComplexFloat w = minus_i(base[k * stride]);
                    const int32_t kk = k + half;
                    r2_out(u + kk, v + kk, load(u[kk]), twmul<FWD>(load(v[kk]), w));
                }
            }
        }
    }
}

template <bool FWD>
inline void dif_out(ComplexFloat* u, ComplexFloat* v, ComplexFloat w) {
    const Cd a = load(*u);
    const Cd b = load(*v);
    store(*u, a + b);
    store(*v, twmul<FWD>(a - b, w));
}

template <bool FWD>
void split_join(ComplexFloat* x, int32_t len, int32_t sub, const ComplexFloat* twd, int32_t N,
                int32_t slice) {
    const ComplexFloat* base;
    int32_t period;
    join_source(twd, sub, N, &base, &period);
    const int32_t per_half = slice / 2 > 0 ? slice / 2 : 1;
    for (int32_t s = len / 2; s >= sub; s /= 2) {
        const int32_t half = s / 2;
        const int32_t stride = period / (2 * s);
        for (int32_t k0 = 0; k0 < half; k0 += per_half) {
            const int32_t k1 = k0 + per_half < half ? k0 + per_half : half;
            for (int32_t p = 0; p < len; p += 2 * s) {
                ComplexFloat* u = x + p;
                ComplexFloat* v = u + s;
                for (int32_t k = k0; k < k1; k++) dif_out<FWD>(u + k, v + k, base[k * stride]);
                for (int32_t k = k0; k < k1; k++) {
                    const int32_t kk = k + half;
                    dif_out<FWD>(u + kk, v + kk, minus_i(base[k * stride]));
                }
            }
        }
    }
}

// ------------------------------------------------------ vector kernels

#if KELVOR_X86_KERNELS
// The vector twiddles of the order-9 radix-4 table last seen, and that
// table's address; filled under the table lock, read without it once the
// address matches.
alignas(64) double vtw512[NSP_VTW512_SIZE];
const ComplexFloat* vtw512_source = nullptr;
#endif

// Runs the 512-point vector kernel on x if it applies; false otherwise.
bool fft512_vector(ComplexFloat* x, const ComplexFloat* twd) {
    switch (kelvor::isa_level()) {
#if KELVOR_X86_KERNELS
    case kelvor::ISA_AVX512:
        if (nspSlotLoad(&vtw512_source) != twd) {
            NspTableGuard guard;
            if (vtw512_source != twd) {
                nspcFillVecTwd512(twd, vtw512);
                nspSlotStore(&vtw512_source, twd);
            }
        }
        nspcFft512FwdAvx512(x, vtw512);
        return true;
#endif
    default:
        (void)x;
        (void)twd;
        return false;
    }
}

}  // namespace

void nspcFillVecTwd512(const ComplexFloat* twd, double* vtw) {
    for (int32_t k = 0; k < 8; k++) {
        const ComplexFloat* e = twd + 3 * (16 * k);
        double* t = vtw + NSP_VTW512_P32 + 6 * k;
        t[0] = e[1].re;
        t[1] = e[1].im;
        t[2] = e[0].re;
        t[3] = e[0].im;
        t[4] = e[2].re;
        t[5] = e[2].im;
    }
    // Runs of eight k: W^2k (entry component 1), W^k (0), W^3k (2).
    const int32_t part[3] = {1, 0, 2};
    for (int32_t pass = 0; pass < 2; pass++) {
        const int32_t m = pass == 0 ? 32 : 128;
        const int32_t step = 128 / m;
        double* base = vtw + (pass == 0 ? NSP_VTW512_P128 : NSP_VTW512_P512);
        for (int32_t k = 0; k < m; k++) {
            const ComplexFloat* e = twd + 3 * (step * k);
            double* run = base + 6 * (k - k % 8);
            for (int32_t w = 0; w < 3; w++) {
                run[16 * w + k % 8] = e[part[w]].re;
                run[16 * w + 8 + k % 8] = e[part[w]].im;
            }
        }
    }
    const ComplexFloat w8 = twd[3 * 64];
    vtw[NSP_VTW512_W8] = w8.re;
    vtw[NSP_VTW512_W8 + 1] = w8.im;
}

// --------------------------------------------------------------- kernels

void nspcBitRevPermute(ComplexFloat* x, int32_t N, const int32_t* tbl) {
    if (N < 4) return;
    const int32_t h = N / 2;
    const int32_t m = N / 4;
    int32_t p = 0;
    for (; p < m && tbl[p] != 0; p += 2) {
        const int32_t a = tbl[p] / 2;
        const int32_t b = tbl[p + 1] / 2;
        ComplexFloat t = x[a];
        x[a] = x[b];
        x[b] = t;
        t = x[a + 1];
        x[a + 1] = x[h + b];
        x[h + b] = t;
        t = x[h + a];
        x[h + a] = x[b + 1];
        x[b + 1] = t;
        t = x[h + a + 1];
        x[h + a + 1] = x[h + b + 1];
        x[h + b + 1] = t;
    }
    // The pair list's closing zero stands for the self-reversed index 0.
    int32_t a = 0;
    for (;;) {
        ComplexFloat t = x[a + 1];
        x[a + 1] = x[h + a];
        x[h + a] = t;
        p++;
        if (p >= m || tbl[p] == 0) break;
        a = tbl[p] / 2;
    }
}

void nspcRadix4Fwd(ComplexFloat* x, int32_t N, const ComplexFloat* twd) {
    radix4<true>(x, N, twd);
}

void nspcRadix4Inv(ComplexFloat* x, int32_t N, const ComplexFloat* twd) {
    radix4<false>(x, N, twd);
}

void nspcCombineRadix2(ComplexFloat* x, int32_t len, int32_t sub, const ComplexFloat* twd,
                       int32_t N, int32_t sign, int32_t slice) {
    if (sub < 2 || len <= sub) return;
    if (sign > 0) combine<true>(x, len, sub, twd, N, slice);
    else combine<false>(x, len, sub, twd, N, slice);
}

void nspcSplitRadix2(ComplexFloat* x, int32_t len, int32_t sub, const ComplexFloat* twd,
                     int32_t N, int32_t sign, int32_t slice) {
    if (sub < 2 || len <= sub) return;
    if (sign > 0) split_join<true>(x, len, sub, twd, N, slice);
    else split_join<false>(x, len, sub, twd, N, slice);
}

void nspcFftRadix4(ComplexFloat* x, int32_t N, int32_t sign, const ComplexFloat* twd) {
    if (N < 2) return;
    if (N == 2) {
        two_point(x);
        return;
    }
    if (N <= PIECE) {
        if (sign > 0) nspcRadix4Fwd(x, N, twd);
        else nspcRadix4Inv(x, N, twd);
        return;
    }
    const ComplexFloat* t10 = nspcGetFftTwdTbl(NSP_SMALL_ORDER_MAX);
    if (t10 == nullptr) return;
    const int32_t b = N < BLOCK ? N : BLOCK;
    for (int32_t blk = 0; blk < N; blk += b) {
        // Each contiguous chunk of bit-reversed data is the bit-reversed
        // input of a decimated sub-sequence, so it transforms in place.
        for (int32_t c = b - PIECE; c >= 0; c -= PIECE) {
            if (sign > 0) nspcRadix4Fwd(x + blk + c, PIECE, t10);
            else nspcRadix4Inv(x + blk + c, PIECE, t10);
        }
        nspcCombineRadix2(x + blk, b, PIECE, twd, N, sign, SLICE);
    }
    if (b < N) nspcCombineRadix2(x, N, b, twd, N, sign, SLICE);
}

void nspcSplitFwd(ComplexFloat* x, int32_t N, const ComplexFloat* twd) {
    split_kernel<true>(x, N, twd);
}

void nspcSplitInv(ComplexFloat* x, int32_t N, const ComplexFloat* twd) {
    split_kernel<false>(x, N, twd);
}

void nspcSplitSmall(ComplexFloat* x, int32_t N, int32_t sign, const ComplexFloat* twd) {
    if (N == 4) {
        const Cd x0 = load(x[0]);
        const Cd x1 = load(x[1]);
        const Cd x2 = load(x[2]);
        const Cd x3 = load(x[3]);
        const Cd a = x0 + x2;
        const Cd bv = x1 + x3;
        const Cd c = x0 - x2;
        const Cd d = x1 - x3;
        const Cd rot = sign > 0 ? quarter<true>(d) : quarter<false>(d);
        store(x[0], a + bv);
        store(x[1], a - bv);
        store(x[2], c + rot);
        store(x[3], c - rot);
        return;
    }
    if (sign > 0) nspcSplitFwd(x, N, twd);
    else nspcSplitInv(x, N, twd);
}

void nspcFftSplit(ComplexFloat* x, int32_t N, int32_t sign, const ComplexFloat* twd) {
    if (N < 2) return;
    if (N == 2) {
        two_point(x);
        return;
    }
    if (N <= PIECE) {
        nspcSplitSmall(x, N, sign, twd);
        return;
    }
    const ComplexFloat* t10 = nspcGetSplitTwdTbl(NSP_SMALL_ORDER_MAX);
    if (t10 == nullptr) return;
    const int32_t b = N < BLOCK ? N : BLOCK;
    if (b < N) nspcSplitRadix2(x, N, b, twd, N, sign, SLICE);
    for (int32_t blk = 0; blk < N; blk += b) {
        nspcSplitRadix2(x + blk, b, PIECE, twd, N, sign, SLICE);
        for (int32_t c = b - PIECE; c >= 0; c -= PIECE) nspcSplitSmall(x + blk + c, PIECE, sign, t10);
    }
}

// ------------------------------------------------------------- entry

namespace {

// The twiddle and bit-reversal tables of a transform of this order and
// these flags: the radix-4 family, or the split-radix family for output in
// bit-reversed order; the bit-reversal table on every path. Filled slots
// are read without the lock; otherwise the tables are built under it, and
// a build that runs out of memory (or an order too large to represent)
// drops every cached table and tries once more. False when that fails too.
bool fft_tables(int32_t order, int32_t flags, const ComplexFloat** twd, const int32_t** brev) {
    const bool split = (flags & NSP_FFT_OUT_BITREV) && !(flags & NSP_FFT_IN_BITREV);
    if (order <= NSP_SMALL_ORDER_MAX) {
        *twd = nspSlotLoad(split ? &nspState.splitTwdTbl[order] : &nspState.fftTwdTbl[order]);
        *brev = nspSlotLoad(&nspState.bitRevTbl[order]);
        if (*twd != nullptr && *brev != nullptr) return true;
    }
    NspTableGuard guard;
    for (int attempt = 0; attempt < 2; attempt++) {
        *twd = split ? nspcGetSplitTwdTbl(order) : nspcGetFftTwdTbl(order);
        *brev = nspGetBitRevTbl(order);
        if (*twd != nullptr && *brev != nullptr) return true;
        if (attempt == 0) nspFreeAllFftTbls();
    }
    return false;
}

}  // namespace

int nspcFftReady(int32_t order, int32_t flags) {
    if (order < 0 || order > 31) return NSP_STS_BAD_ARGUMENT;
    const ComplexFloat* twd = nullptr;
    const int32_t* brev = nullptr;
    return fft_tables(order, flags, &twd, &brev) ? NSP_STS_OK : NSP_STS_NO_MEMORY;
}

void nspcFft(ComplexFloat* samps, int32_t order, int32_t flags) {
    static const char* const FN = "nspcFft";
    static const char* const MOD = "nspffts";

    if (flags & NSP_FFT_FREE_TABLES) {
        NspTableGuard guard;
        if (flags & NSP_FFT_IN_BITREV) nspcFreeFftTwdTbl(order);
        else if (flags & NSP_FFT_OUT_BITREV) nspcFreeSplitTwdTbl(order);
        else nspcFreeFftTwdTbl(order);
        nspFreeBitRevTbl(order);
        return;
    }
    if (order < 0) {
        nspReportStatus(NSP_STS_BAD_ARGUMENT, FN, "order<0", MOD, 485);
        return;
    }
    if (order > 31) {
        nspReportStatus(NSP_STS_BAD_ARGUMENT, FN, "order>31", MOD, 485);
        return;
    }

    // Tables first, so that they stay cached even when a later check
    // fails.
    const ComplexFloat* twd = nullptr;
    const int32_t* brev = nullptr;
    if (!fft_tables(order, flags, &twd, &brev)) {
        nspReportStatus(NSP_STS_NO_MEMORY, FN, "No working Twd memory", MOD, 485);
        return;
    }
    if (flags & NSP_FFT_INIT_ONLY) return;

    if (samps == nullptr) {
        nspReportStatus(NSP_STS_BAD_ARGUMENT, FN, "samps==0", MOD, 488);
        return;
    }
    if ((flags & NSP_FFT_FORWARD) && (flags & NSP_FFT_INVERSE)) {
        nspReportStatus(NSP_STS_BAD_ARGUMENT, FN, "(flags & 1) && (flags & 2)", MOD, 491);
        return;
    }
    if (!(flags & NSP_FFT_FORWARD) && !(flags & NSP_FFT_INVERSE)) {
        nspReportStatus(NSP_STS_BAD_ARGUMENT, FN, "(flags & 1)==0 && (flags & 2)==0", MOD, 491);
        return;
    }
    if ((flags & NSP_FFT_IN_BITREV) && (flags & NSP_FFT_OUT_BITREV)) {
        nspReportStatus(NSP_STS_BAD_ARGUMENT, FN, "(flags & 64) && (flags & 128)", MOD, 492);
        return;
    }
    if ((flags & NSP_FFT_IN_BITREV) && (flags & NSP_FFT_NO_BITREV)) {
        nspReportStatus(NSP_STS_BAD_ARGUMENT, FN, "(flags & 64) && (flags & 32)", MOD, 492);
        return;
    }
    if ((flags & NSP_FFT_NO_BITREV) && (flags & NSP_FFT_OUT_BITREV)) {
        nspReportStatus(NSP_STS_BAD_ARGUMENT, FN, "(flags & 32) && (flags & 128)", MOD, 492);
        return;
    }
    // A single point is its own transform in both directions.
    if (order == 0) return;

    const int32_t n = int32_t{1} << order;
    const int32_t sign = (flags & NSP_FFT_FORWARD) ? 1 : -1;
    if (flags & NSP_FFT_IN_BITREV) {
        nspcFftRadix4(samps, n, sign, twd);
    } else if (flags & NSP_FFT_OUT_BITREV) {
        nspcFftSplit(samps, n, sign, twd);
    } else if (!(n == 512 && sign > 0 && fft512_vector(samps, twd))) {
        nspcBitRevPermute(samps, n, brev);
        nspcFftRadix4(samps, n, sign, twd);
    }

    if ((flags & NSP_FFT_INVERSE) && !(flags & NSP_FFT_NO_SCALE)) {
        // Exact: N is a power of two.
        const float scale = static_cast<float>(1.0 / static_cast<double>(n));
        nspsbMpy1(scale, reinterpret_cast<float*>(samps), 2 * n);
    }
}
