// The integer path of the compositing model for "normal" and the separable
// blends made of products, sums, minima and maxima, on uint8 images: channel
// bytes widened once to 16-bit lanes, products of two bytes divided by 255
// with exact rounding, narrowed once. The rule is written once over the lane
// type: uint32_t (one channel, the scalar kernel), __m128i (two pixels) and
// __m256i (four pixels) perform the same integer steps, so every width
// stores the same bytes.
//
// Channels stay interleaved: a lane holds one channel of one pixel, and the
// per-pixel quantities (the two alphas, the mask weight) are spread over
// the pixel's four lanes. The alpha lane follows the colour rule with the
// source's colour replaced by its alpha, which is what the model's alpha
// equation is.
//
// A separable blend gives its premultiplied term T = as * ab * B(Cb, Cs)
// in 255^2 units from the premultiplied bytes: multiply's is cs * cb,
// screen's cs * ab + cb * as - cs * cb. Sums may wrap in 16 bits on the way,
// as long as the term itself lies within 0..65025. The blended source,
// premultiplied, is then P = (255 - ab) * cs + T (as * 255 on the alpha
// lane), which for "normal" is cs * 255.
//
// Premultiplied, every operator: with the colours capped at their alphas,
// the mask weight M (255 without a mask) and the operator's factors as bytes
// FA (of the backdrop alpha) and FB (of the drawn source alpha
// as_w = round(as * M / 255)),
//   out = round((P * M / 255 * FA / 255 + cb * FB) / 255),
// one rounding where M and FA are 255, and plus_lighter as
// min(round(P * M / 255^2) + cb, 255). Each is within one step of the exact
// value.
//
// Straight, every operator but plus_lighter: the blended source byte
// Cs' = round(((255 - ab) * Cs + ab * B) / 255), B the blend of the straight
// bytes rounded to a byte (Cs' = Cs for "normal"), and the result
//   out = Cs' + round((Cb - Cs') * u),  u = ab * Fb / (as * Fa + ab * Fb),
// u a 14-bit fraction from one float division per pixel (0 and 1 exact, so
// a layer over a transparent backdrop is the layer), alpha the rounded sum.
//
// Two opaque 3-channel images without a mask: every channel byte is the
// lerp of its blend by the call's one weight (the bytes taken as they lie).
//
// Part of composite_compositor.hpp, which includes it after the lane
// operations, the factors and the coverage it builds on.
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "blend_call.hpp"
#include "composite_call.hpp"
#include "pixel_simd.hpp"

// ---- 16-bit lane operations, one rule at every width -----------------------
// The scalar form computes in uint32_t on values that stay below 65536, so
// it gives the 16-bit lanes' integers. Masks are all ones or zero per lane
// (~0u or 0 for the scalar form).

TARNWICK_LANES uint32_t splat_u16(uint32_t, uint16_t value) { return value; }
TARNWICK_LANES __m128i splat_u16(__m128i, uint16_t value) {
    return _mm_set1_epi16(static_cast<int16_t>(value));
}
TARNWICK_LANES __m256i splat_u16(__m256i, uint16_t value) {
    return _mm256_set1_epi16(static_cast<int16_t>(value));
}
template <typename L> TARNWICK_LANES L u16_of(uint16_t value) { return splat_u16(L{}, value); }

TARNWICK_LANES uint32_t add_u16(uint32_t a, uint32_t b) { return (a + b) & 0xFFFFu; }
TARNWICK_LANES __m128i add_u16(__m128i a, __m128i b) { return _mm_add_epi16(a, b); }
TARNWICK_LANES __m256i add_u16(__m256i a, __m256i b) { return _mm256_add_epi16(a, b); }

TARNWICK_LANES uint32_t sub_u16(uint32_t a, uint32_t b) { return (a - b) & 0xFFFFu; }
TARNWICK_LANES __m128i sub_u16(__m128i a, __m128i b) { return _mm_sub_epi16(a, b); }
TARNWICK_LANES __m256i sub_u16(__m256i a, __m256i b) { return _mm256_sub_epi16(a, b); }

// The low 16 bits of the product.
TARNWICK_LANES uint32_t mul_u16(uint32_t a, uint32_t b) { return (a * b) & 0xFFFFu; }
TARNWICK_LANES __m128i mul_u16(__m128i a, __m128i b) { return _mm_mullo_epi16(a, b); }
TARNWICK_LANES __m256i mul_u16(__m256i a, __m256i b) { return _mm256_mullo_epi16(a, b); }

// The high 16 bits of the product.
TARNWICK_LANES uint32_t mulhi_u16(uint32_t a, uint32_t b) { return (a * b) >> 16; }
TARNWICK_LANES __m128i mulhi_u16(__m128i a, __m128i b) { return _mm_mulhi_epu16(a, b); }
TARNWICK_LANES __m256i mulhi_u16(__m256i a, __m256i b) { return _mm256_mulhi_epu16(a, b); }

// round(a * b / 2^15) of signed 16-bit lanes, halves up: (a * b + 2^14) >> 15.
TARNWICK_LANES uint32_t mulhrs_i16(uint32_t a, uint32_t b) {
    const int32_t product = static_cast<int16_t>(a) * static_cast<int16_t>(b);
    return static_cast<uint32_t>((product + 16384) >> 15) & 0xFFFFu;
}
TARNWICK_LANES __m128i mulhrs_i16(__m128i a, __m128i b) { return _mm_mulhrs_epi16(a, b); }
TARNWICK_LANES __m256i mulhrs_i16(__m256i a, __m256i b) { return _mm256_mulhrs_epi16(a, b); }

TARNWICK_LANES uint32_t min_u16(uint32_t a, uint32_t b) { return a < b ? a : b; }
TARNWICK_LANES __m128i min_u16(__m128i a, __m128i b) { return _mm_min_epu16(a, b); }
TARNWICK_LANES __m256i min_u16(__m256i a, __m256i b) { return _mm256_min_epu16(a, b); }

TARNWICK_LANES uint32_t max_u16(uint32_t a, uint32_t b) { return a > b ? a : b; }
TARNWICK_LANES __m128i max_u16(__m128i a, __m128i b) { return _mm_max_epu16(a, b); }
TARNWICK_LANES __m256i max_u16(__m256i a, __m256i b) { return _mm256_max_epu16(a, b); }

// Saturating: a + b capped at 65535, a - b floored at 0.
TARNWICK_LANES uint32_t adds_u16(uint32_t a, uint32_t b) {
    return a + b > 0xFFFFu ? 0xFFFFu : a + b;
}
TARNWICK_LANES __m128i adds_u16(__m128i a, __m128i b) { return _mm_adds_epu16(a, b); }
TARNWICK_LANES __m256i adds_u16(__m256i a, __m256i b) { return _mm256_adds_epu16(a, b); }
TARNWICK_LANES uint32_t subs_u16(uint32_t a, uint32_t b) { return a > b ? a - b : 0u; }
TARNWICK_LANES __m128i subs_u16(__m128i a, __m128i b) { return _mm_subs_epu16(a, b); }
TARNWICK_LANES __m256i subs_u16(__m256i a, __m256i b) { return _mm256_subs_epu16(a, b); }

TARNWICK_LANES uint32_t and_u16(uint32_t a, uint32_t b) { return a & b; }
TARNWICK_LANES __m128i and_u16(__m128i a, __m128i b) { return _mm_and_si128(a, b); }
TARNWICK_LANES __m256i and_u16(__m256i a, __m256i b) { return _mm256_and_si256(a, b); }

TARNWICK_LANES uint32_t or_u16(uint32_t a, uint32_t b) { return a | b; }
TARNWICK_LANES __m128i or_u16(__m128i a, __m128i b) { return _mm_or_si128(a, b); }
TARNWICK_LANES __m256i or_u16(__m256i a, __m256i b) { return _mm256_or_si256(a, b); }

TARNWICK_LANES uint32_t eq_u16(uint32_t a, uint32_t b) { return a == b ? ~0u : 0u; }
TARNWICK_LANES __m128i eq_u16(__m128i a, __m128i b) { return _mm_cmpeq_epi16(a, b); }
TARNWICK_LANES __m256i eq_u16(__m256i a, __m256i b) { return _mm256_cmpeq_epi16(a, b); }

TARNWICK_LANES uint32_t select_u16(uint32_t mask, uint32_t if_true, uint32_t if_false) {
    return mask != 0 ? if_true : if_false;
}
TARNWICK_LANES __m128i select_u16(__m128i mask, __m128i if_true, __m128i if_false) {
    return _mm_blendv_epi8(if_false, if_true, mask);
}
TARNWICK_LANES __m256i select_u16(__m256i mask, __m256i if_true, __m256i if_false) {
    return _mm256_blendv_epi8(if_false, if_true, mask);
}

// All bits where a >= b.
template <typename L> TARNWICK_LANES L ge_u16(L a, L b) { return eq_u16(max_u16(a, b), a); }

// round(t / 255) for t below 65408: (t + 128) * 257 >> 16 (there are no ties,
// 255 being odd).
template <typename L> TARNWICK_LANES L div255_round(L t) {
    return mulhi_u16(add_u16(t, u16_of<L>(128)), u16_of<L>(257));
}

// ---- the operators as byte factors -----------------------------------------
// FA = fa_const * 255 + fa_backdrop * ab, FB likewise of the drawn alpha;
// the signs become masks so that a lane computes c + (x & plus) - (x & minus).
// The backdrop stays as it is where no source is drawn (as * w = 0 or
// Fa = 0) and Fb is exactly 1: always, where nothing is drawn (1 - as), or
// where the source is drawn in full (as).
struct IntegerFactors {
    uint16_t fa_const, fa_plus, fa_minus;
    uint16_t fb_const, fb_plus, fb_minus;
    uint16_t fb_one_always, fb_one_undrawn, fb_one_full;
};

constexpr uint16_t all_bits_if(bool condition) { return condition ? 0xFFFF : 0; }

constexpr IntegerFactors integer_factors(const CompositeOperator &op) {
    const bool fb_whole = op.fb_const == 1.0f;
    return {static_cast<uint16_t>(op.fa_const > 0.0f ? 255 : 0),
            all_bits_if(op.fa_backdrop > 0.0f),
            all_bits_if(op.fa_backdrop < 0.0f),
            static_cast<uint16_t>(fb_whole ? 255 : 0),
            all_bits_if(op.fb_source > 0.0f),
            all_bits_if(op.fb_source < 0.0f),
            all_bits_if(fb_whole && op.fb_source == 0.0f),
            all_bits_if(fb_whole && op.fb_source == -1.0f),
            all_bits_if(op.fb_const == 0.0f && op.fb_source == 1.0f)};
}

template <typename L>
TARNWICK_LANES L factor_of(uint16_t constant, uint16_t plus, uint16_t minus, L x) {
    return sub_u16(add_u16(u16_of<L>(constant), and_u16(x, u16_of<L>(plus))),
                   and_u16(x, u16_of<L>(minus)));
}

// `none`: lanes where nothing of the source is drawn (as * w = 0), `full`
// where it is drawn in full (as * w = 1), `fa` the byte factor.
template <typename L>
TARNWICK_LANES L keeps_backdrop(const IntegerFactors &f, L none, L full, L fa) {
    const L fb_one =
        or_u16(u16_of<L>(f.fb_one_always), or_u16(and_u16(u16_of<L>(f.fb_one_undrawn), none),
                                                  and_u16(u16_of<L>(f.fb_one_full), full)));
    return and_u16(fb_one, or_u16(none, eq_u16(fa, u16_of<L>(0))));
}

// Operators whose two factors can both be 1 (plus_lighter): their sum needs
// the saturating form.
constexpr bool factors_can_add_up(const CompositeOperator &op) {
    return op.fa_const + op.fa_backdrop > 0.0f && op.fa_backdrop >= 0.0f &&
           op.fb_const + op.fb_source > 0.0f && op.fb_source >= 0.0f &&
           op.fa_const + op.fb_const > 1.0f;
}

// ---- blends with an integer term --------------------------------------------------

template <typename Blend, typename = void> struct has_integer_term : std::false_type {};
template <typename Blend>
struct has_integer_term<Blend,
                        std::void_t<decltype(Blend::template term<uint32_t>(0u, 0u, 0u, 0u))>>
    : std::true_type {};

// The blends the integer path serves.
template <typename Blend> inline constexpr bool integer_blend =
    Blend::is_normal || has_integer_term<Blend>::value;

// Lanes of the alpha channel (the fourth of each pixel).
template <typename L> TARNWICK_LANES L alpha_lanes();
template <> TARNWICK_LANES uint32_t alpha_lanes<uint32_t>() { return 0u; }
template <> TARNWICK_LANES __m128i alpha_lanes<__m128i>() {
    return _mm_setr_epi16(0, 0, 0, -1, 0, 0, 0, -1);
}
template <> TARNWICK_LANES __m256i alpha_lanes<__m256i>() {
    return _mm256_setr_epi16(0, 0, 0, -1, 0, 0, 0, -1, 0, 0, 0, -1, 0, 0, 0, -1);
}

// The blended premultiplied source in 255^2 units (see the top): `cb`, `cs`
// capped at their alphas. `alpha` marks the alpha lanes; the scalar form
// asks for each channel and passes all bits there.
template <typename Blend, typename L>
TARNWICK_LANES L blended_source(L cb, L cs, L ab, L as, L alpha) {
    const L byte_max = u16_of<L>(255);
    if constexpr (Blend::is_normal) {
        return mul_u16(cs, byte_max);
    } else {
        const L colour = add_u16(mul_u16(sub_u16(byte_max, ab), cs), Blend::term(cb, cs, ab, as));
        return select_u16(alpha, mul_u16(as, byte_max), colour);
    }
}

// ---- weights ----------------------------------------------------------------------
// How the source's coverage (opacity times mask weight) reaches the rules:
// none: opacity 1 and no mask; bytes: opacity 1 and a uint8 mask, the weight
// being the mask byte M (w = M / 255, exactly); fixed: any other coverage as
// a 16-bit fraction W of 65536, 0 only for no coverage and 65535 only for
// full coverage, so that those two stay exact; uniform: fixed, from the
// opacity alone (no mask), the same W for every pixel.
enum class Weighting { none, bytes, fixed, uniform };

inline Weighting weighting_of(const CompositeJob &job) {
    const bool masked = job.mask.u8 != nullptr || job.mask.f32 != nullptr;
    if (job.opacity == 1.0f && job.mask.f32 == nullptr) {
        return masked ? Weighting::bytes : Weighting::none;
    }
    return masked ? Weighting::fixed : Weighting::uniform;
}

constexpr bool fixed_point(Weighting weighting) {
    return weighting == Weighting::fixed || weighting == Weighting::uniform;
}

// The fixed weight of a coverage c within 0..1, per lane (int32 lanes).
template <typename V> TARNWICK_LANES V fixed_weight_lanes(V coverage) {
    const V zero = splat<V>(0.0f);
    const V one = splat<V>(1.0f);
    const V scaled = pick_min(pick_max(coverage * splat<V>(65536.0f), one), splat<V>(65534.0f));
    return select(ge(coverage, one), splat<V>(65535.0f), select(gt(coverage, zero), scaled, zero));
}
inline uint32_t fixed_weight(float coverage) {
    return static_cast<uint32_t>(std::lrintf(fixed_weight_lanes(coverage)));
}

// The fixed-point products are floored, each within two 255^2 units below
// its value; the sum gets this much back before the final rounding, so that
// a result on a half step (white under black at opacity 0.5: 127.5) rounds
// up as the float rule's ties do, not down.
inline constexpr uint16_t k_floor_bias = 2;

// ---- the premultiplied rule ----------------------------------------------------
// `cb`, `cs`: channel lanes (alpha lane included); `ab`, `as`: the pixel's
// alphas and `weight` its weight (see Weighting), spread over its lanes;
// `alpha` the alpha lanes. `op` is the operator's index in
// k_composite_operators, so that its factors fold into the code.
template <typename Blend, int op, Weighting weighting, typename L>
TARNWICK_LANES L premultiplied_rule(L cb, L cs, L ab, L as, L weight, L alpha) {
    constexpr CompositeOperator k_op = k_composite_operators[op];
    constexpr IntegerFactors f = integer_factors(k_op);
    constexpr bool fa_is_one = k_op.fa_const == 1.0f && k_op.fa_backdrop == 0.0f;
    constexpr bool fixed = fixed_point(weighting);
    const L byte_max = u16_of<L>(255);
    const L cb_capped = min_u16(cb, ab);
    const L cs_capped = min_u16(cs, as);
    const L blended = blended_source<Blend>(cb_capped, cs_capped, ab, as, alpha);
    // The source times the weight, and its alpha, in 255^2 units. "normal"
    // under a byte weight multiplies the byte exactly; a blend's 255^2 value
    // is scaled by M * 257 / 65536, just below M / 255 (exact for 255).
    L source = blended;
    L drawn = mul_u16(as, byte_max);
    L none = eq_u16(as, u16_of<L>(0));
    L full = eq_u16(as, byte_max);
    if constexpr (weighting == Weighting::bytes) {
        if constexpr (Blend::is_normal) {
            source = mul_u16(cs_capped, weight);
        } else {
            source = select_u16(eq_u16(weight, byte_max), blended,
                                mulhi_u16(blended, mul_u16(weight, u16_of<L>(257))));
        }
        drawn = mul_u16(as, weight);
        none = eq_u16(drawn, u16_of<L>(0));
        full = eq_u16(drawn, u16_of<L>(65025));
    } else if constexpr (fixed) {
        source = mulhi_u16(blended, weight);
        drawn = mulhi_u16(drawn, weight);
        none = or_u16(none, eq_u16(weight, u16_of<L>(0)));
        full = and_u16(full, eq_u16(weight, u16_of<L>(65535)));
    }
    const L fa = factor_of(f.fa_const, f.fa_plus, f.fa_minus, ab);
    L result;
    if constexpr (factors_can_add_up(k_op)) {
        const L biased = fixed ? add_u16(source, u16_of<L>(k_floor_bias)) : source;
        result = min_u16(add_u16(div255_round(biased), cb_capped), byte_max);
    } else {
        L backdrop_share;  // cb * Fb in 255^2 units
        if constexpr (fixed) {
            // cb * (Fb in 255^2 units) * 257 / 65536: within two units.
            const L fb = factor_of(f.fb_const != 0 ? 65025 : 0, f.fb_plus, f.fb_minus, drawn);
            backdrop_share = mulhi_u16(fb, mul_u16(cb_capped, u16_of<L>(257)));
        } else {
            const L drawn_byte = weighting == Weighting::none ? as : div255_round(drawn);
            backdrop_share =
                mul_u16(cb_capped, factor_of(f.fb_const, f.fb_plus, f.fb_minus, drawn_byte));
        }
        if constexpr (fixed) {
            backdrop_share = add_u16(backdrop_share, u16_of<L>(k_floor_bias));
        }
        if constexpr (fa_is_one && weighting == Weighting::none && Blend::is_normal) {
            // round((cs * 255 + x) / 255) is cs + round(x / 255).
            result = add_u16(cs_capped, div255_round(backdrop_share));
        } else if constexpr (fa_is_one) {
            result = div255_round(add_u16(source, backdrop_share));
        } else if constexpr (k_op.fa_const == 0.0f && k_op.fa_backdrop == 0.0f) {
            result = div255_round(backdrop_share);
        } else {
            // source * FA / 255, floored within two 255^2 units (257 / 65536
            // is just below 1 / 255); exact where FA is 255.
            const L source_share = select_u16(eq_u16(fa, byte_max), source,
                                              mulhi_u16(source, mul_u16(fa, u16_of<L>(257))));
            result = div255_round(add_u16(source_share, backdrop_share));
        }
    }
    return select_u16(keeps_backdrop(f, none, full, fa), cb, result);
}

// ---- the straight lerp over an opaque backdrop ------------------------------------

template <typename Blend, Weighting weighting, typename L>
TARNWICK_LANES L straight_over_opaque(L cb, L cs, L as, L weight) {
    const L byte_max = u16_of<L>(255);
    L blended = cs;
    if constexpr (!Blend::is_normal) {
        blended = div255_round(Blend::term(cb, cs, byte_max, byte_max));
    }
    if constexpr (fixed_point(weighting)) {
        // In 255^2 units, each product within two of its value.
        const L drawn = mulhi_u16(mul_u16(as, byte_max), weight);
        const L k257 = u16_of<L>(257);
        return div255_round(
            add_u16(add_u16(mulhi_u16(drawn, mul_u16(blended, k257)),
                            mulhi_u16(sub_u16(u16_of<L>(65025), drawn), mul_u16(cb, k257))),
                    u16_of<L>(k_floor_bias)));
    } else {
        const L drawn = weighting == Weighting::none ? as : div255_round(mul_u16(as, weight));
        return div255_round(
            add_u16(mul_u16(blended, drawn), mul_u16(cb, sub_u16(byte_max, drawn))));
    }
}

// ---- group loads and stores --------------------------------------------------------
// A group is 4 pixels (SSE: two __m128i of two pixels each) or 8 pixels
// (AVX2: two __m256i of four pixels each); `lo` holds the first half.

TARNWICK_LANES void widen_bytes(__m128i bytes, __m128i &lo, __m128i &hi) {
    lo = _mm_cvtepu8_epi16(bytes);
    hi = _mm_cvtepu8_epi16(_mm_srli_si128(bytes, 8));
}
TARNWICK_LANES void widen_bytes(__m256i bytes, __m256i &lo, __m256i &hi) {
    lo = _mm256_cvtepu8_epi16(low_half(bytes));
    hi = _mm256_cvtepu8_epi16(high_half(bytes));
}

TARNWICK_LANES __m128i narrow_to_bytes(__m128i lo, __m128i hi) { return _mm_packus_epi16(lo, hi); }
// The pack works per 128-bit half; the permute puts the halves in order.
TARNWICK_LANES __m256i narrow_to_bytes(__m256i lo, __m256i hi) {
    return _mm256_permute4x64_epi64(_mm256_packus_epi16(lo, hi), 0xD8);
}

TARNWICK_LANES __m128i load_group_bytes(const uint8_t *p, __m128i) { return load_bytes16(p); }
TARNWICK_LANES __m256i load_group_bytes(const uint8_t *p, __m256i) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}
// Each half widened straight from memory: a whole-group load would cost an
// extract or shift per half on the shuffle port, which bounds these loops.
TARNWICK_LANES void widen_pixels(const uint8_t *p, __m128i &lo, __m128i &hi) {
    lo = _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)));
    hi = _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p + 8)));
}
TARNWICK_LANES void widen_pixels(const uint8_t *p, __m256i &lo, __m256i &hi) {
    lo = _mm256_cvtepu8_epi16(load_bytes16(p));
    hi = _mm256_cvtepu8_epi16(load_bytes16(p + 16));
}

TARNWICK_LANES __m128i eq_i32(__m128i a, __m128i b) { return _mm_cmpeq_epi32(a, b); }
TARNWICK_LANES __m256i eq_i32(__m256i a, __m256i b) { return _mm256_cmpeq_epi32(a, b); }
TARNWICK_LANES bool all_bits(__m128i mask) { return _mm_movemask_epi8(mask) == 0xFFFF; }
TARNWICK_LANES bool all_bits(__m256i mask) { return _mm256_movemask_epi8(mask) == -1; }
TARNWICK_LANES bool any_bits(__m128i mask) { return _mm_movemask_epi8(mask) != 0; }
TARNWICK_LANES bool any_bits(__m256i mask) { return _mm256_movemask_epi8(mask) != 0; }

// Each pixel's alpha byte in its 32-bit lane.
TARNWICK_LANES __m128i alpha_bytes(__m128i bytes) { return _mm_srli_epi32(bytes, 24); }
TARNWICK_LANES __m256i alpha_bytes(__m256i bytes) { return _mm256_srli_epi32(bytes, 24); }

TARNWICK_LANES void store_group_bytes(uint8_t *p, __m128i v) { store_bytes16(p, v); }
TARNWICK_LANES void store_group_bytes(uint8_t *p, __m256i v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v);
}

// Each pixel's alpha lane copied over its four lanes.
template <typename I> TARNWICK_LANES I spread_alpha(I v) {
    static constexpr byte_mask k_order{{6, 7, 6, 7, 6, 7, 6, 7, 14, 15, 14, 15, 14, 15, 14, 15}};
    return shuffle_bytes(v, k_order);
}

// The mask bytes of a group, each over its pixel's four lanes. Reads
// exactly the group's bytes.
TARNWICK_LANES void spread_mask_bytes(const uint8_t *mask, npy_intp index, __m128i &lo,
                                      __m128i &hi) {
    int32_t four;
    std::memcpy(&four, mask + index, 4);
    const __m128i bytes = _mm_cvtsi32_si128(four);
    lo = _mm_shuffle_epi8(bytes,
                          _mm_setr_epi8(0, -1, 0, -1, 0, -1, 0, -1, 1, -1, 1, -1, 1, -1, 1, -1));
    hi = _mm_shuffle_epi8(bytes,
                          _mm_setr_epi8(2, -1, 2, -1, 2, -1, 2, -1, 3, -1, 3, -1, 3, -1, 3, -1));
}
TARNWICK_LANES void spread_mask_bytes(const uint8_t *mask, npy_intp index, __m256i &lo,
                                      __m256i &hi) {
    int64_t eight;
    std::memcpy(&eight, mask + index, 8);
    const __m128i bytes = _mm_cvtsi64_si128(eight);
    lo = _mm256_cvtepu8_epi16(
        _mm_shuffle_epi8(bytes, _mm_setr_epi8(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3)));
    hi = _mm256_cvtepu8_epi16(
        _mm_shuffle_epi8(bytes, _mm_setr_epi8(4, 4, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 7, 7, 7, 7)));
}

// 16-bit words, one per pixel of a group (the low 4 or all 8), each over its
// pixel's four lanes.
TARNWICK_LANES void spread_words(__m128i words, __m128i &lo, __m128i &hi) {
    lo = _mm_shuffle_epi8(words, _mm_setr_epi8(0, 1, 0, 1, 0, 1, 0, 1, 2, 3, 2, 3, 2, 3, 2, 3));
    hi = _mm_shuffle_epi8(words, _mm_setr_epi8(4, 5, 4, 5, 4, 5, 4, 5, 6, 7, 6, 7, 6, 7, 6, 7));
}
TARNWICK_LANES void spread_words(__m128i words, __m256i &lo, __m256i &hi) {
    const __m256i both = _mm256_broadcastsi128_si256(words);
    lo =
        _mm256_shuffle_epi8(both, _mm256_setr_epi8(0, 1, 0, 1, 0, 1, 0, 1, 2, 3, 2, 3, 2, 3, 2, 3,
                                                   4, 5, 4, 5, 4, 5, 4, 5, 6, 7, 6, 7, 6, 7, 6, 7));
    hi = _mm256_shuffle_epi8(
        both, _mm256_setr_epi8(8, 9, 8, 9, 8, 9, 8, 9, 10, 11, 10, 11, 10, 11, 10, 11, 12, 13, 12,
                               13, 12, 13, 12, 13, 14, 15, 14, 15, 14, 15, 14, 15));
}

// The fixed weights of a group's pixels as 16-bit words.
TARNWICK_LANES __m128i fixed_weight_words(__m128 coverage) {
    const __m128i words = round_to_i32(fixed_weight_lanes(coverage));
    return _mm_packus_epi32(words, words);
}
TARNWICK_LANES __m128i fixed_weight_words(__m256 coverage) {
    const __m256i words = round_to_i32(fixed_weight_lanes(coverage));
    return _mm_packus_epi32(low_half(words), high_half(words));
}

// A group's weights over its lanes, as `weighting` takes them (see the
// rules); `V` gives the group's width. `coverage` is only called for fixed
// weights.
template <Weighting weighting, typename V, typename I, typename Coverage>
TARNWICK_LANES void group_weights(const uint8_t *mask, npy_intp index, Coverage &&coverage, I &lo,
                                  I &hi) {
    if constexpr (weighting == Weighting::none) {
        lo = hi = u16_of<I>(255);
    } else if constexpr (weighting == Weighting::bytes) {
        spread_mask_bytes(mask, index, lo, hi);
    } else if constexpr (weighting == Weighting::uniform) {
        lo = hi = u16_of<I>(static_cast<uint16_t>(coverage.uniform));
    } else {
        spread_words(fixed_weight_words(coverage(V{})), lo, hi);
    }
}

// One pixel's weight for the scalar form of the rules.
template <Weighting weighting, typename Coverage>
TARNWICK_LANES uint32_t pixel_weight(const uint8_t *mask, npy_intp index, Coverage &&coverage) {
    if constexpr (weighting == Weighting::none) {
        return 255u;
    } else if constexpr (weighting == Weighting::bytes) {
        return mask[index];
    } else if constexpr (weighting == Weighting::uniform) {
        return coverage.uniform;
    } else {
        return fixed_weight(coverage(0.0f));
    }
}

// ---- which calls take the integer path --------------------------------------------

// uint8 RGBA in and out.
inline bool integer_path_eligible(const CompositeJob &job) {
    return job.backdrop.is_uint8 && job.source.is_uint8 && job.backdrop.channels == 4 &&
           job.source.channels == 4;
}

// The operators the straight lerp serves: over an opaque backdrop pixel they
// lay the source over it, alpha 255.
inline bool straight_lerp_operator(const CompositeOperator &op) {
    return op.fa_const + op.fa_backdrop == 1.0f && op.fb_const == 1.0f && op.fb_source == -1.0f;
}

// ---- premultiplied loops ---------------------------------------------------------------

// Opacity times mask weight, in lanes of V (a float for one pixel); and
// the fixed weight of the opacity alone, for uniform weights.
struct CoverageOf {
    const BlendMask &mask;
    float opacity;
    npy_intp index;
    uint32_t uniform;
    template <typename V> TARNWICK_LANES V operator()(V) const {
        return coverage_lanes(mask, splat<V>(opacity), index);
    }
};

template <typename Blend, int op, Weighting weighting>
inline void premultiplied_pixels(const CompositeJob &job, const uint8_t *bg, const uint8_t *fg,
                                 uint8_t *out) {
    const BlendMask mask = job.mask;
    const float opacity = job.opacity;
    const uint32_t uniform = fixed_weight(opacity);
    const npy_intp pixels = job.pixels;
    run_width_sequence(
        job.kernel, 0,
        [&](auto lanes, npy_intp index) __attribute__((always_inline)) {
            using V = decltype(lanes);
            using I = ivec_t<V>;
            constexpr int group = lane_count<V>;
            for (; index + group <= pixels; index += group) {
                prefetch_pixel(bg, 4, index);
                prefetch_pixel(fg, 4, index);
                I b_lo, b_hi, s_lo, s_hi, w_lo, w_hi;
                widen_pixels(bg + index * 4, b_lo, b_hi);
                widen_pixels(fg + index * 4, s_lo, s_hi);
                group_weights<weighting, V>(mask.u8, index, CoverageOf{mask, opacity, index, uniform}, w_lo,
                                            w_hi);
                const auto half = [&](I cb, I cs, I weight) __attribute__((always_inline)) {
                    return premultiplied_rule<Blend, op, weighting>(
                        cb, cs, spread_alpha(cb), spread_alpha(cs), weight, alpha_lanes<I>());
                };
                store_group_bytes(out + index * 4,
                                  narrow_to_bytes(half(b_lo, s_lo, w_lo), half(b_hi, s_hi, w_hi)));
            }
            return index;
        },
        [&](npy_intp index) __attribute__((always_inline)) {
            for (; index < pixels; ++index) {
                const uint8_t *b = bg + index * 4;
                const uint8_t *s = fg + index * 4;
                const uint32_t weight =
                    pixel_weight<weighting>(mask.u8, index, CoverageOf{mask, opacity, index, uniform});
                uint8_t result[4];
                for (int c = 0; c < 4; ++c) {
                    result[c] = static_cast<uint8_t>(premultiplied_rule<Blend, op, weighting>(
                        uint32_t{b[c]}, uint32_t{s[c]}, uint32_t{b[3]}, uint32_t{s[3]}, weight,
                        c == 3 ? ~0u : 0u));
                }
                std::memcpy(out + index * 4, result, 4);
            }
        });
}

// Calls body(std::integral_constant<int, i>{}) for the index i of the job's
// operator in k_composite_operators.
template <typename Body, int... i>
TARNWICK_LANES void with_operator_index(const CompositeOperator &op, Body &&body,
                                        std::integer_sequence<int, i...>) {
    const auto same = [&](const CompositeOperator &entry) {
        return entry.fa_const == op.fa_const && entry.fa_backdrop == op.fa_backdrop &&
               entry.fb_const == op.fb_const && entry.fb_source == op.fb_source;
    };
    // The first entry with the job's factors; the names do not matter here.
    (void)((same(k_composite_operators[i]) && (body(std::integral_constant<int, i>{}), true)) ||
           ...);
}

// Calls body(std::integral_constant<Weighting, w>{}) for the job's weighting.
template <typename Body> TARNWICK_LANES void with_weighting(const CompositeJob &job, Body &&body) {
    switch (weighting_of(job)) {
        case Weighting::none:
            body(std::integral_constant<Weighting, Weighting::none>{});
            break;
        case Weighting::bytes:
            body(std::integral_constant<Weighting, Weighting::bytes>{});
            break;
        case Weighting::fixed:
            body(std::integral_constant<Weighting, Weighting::fixed>{});
            break;
        case Weighting::uniform:
            body(std::integral_constant<Weighting, Weighting::uniform>{});
            break;
    }
}

template <typename Blend> inline void run_premultiplied_integer(const CompositeJob &job,
                                                                const uint8_t *bg,
                                                                const uint8_t *fg, uint8_t *out) {
    constexpr int count = sizeof(k_composite_operators) / sizeof(k_composite_operators[0]);
    with_weighting(job, [&](auto weighting) {
        with_operator_index(
            job.op,
            [&](auto op) {
                premultiplied_pixels<Blend, op.value, weighting.value>(job, bg, fg, out);
            },
            std::make_integer_sequence<int, count>{});
    });
}

// ---- three channels over three channels -------------------------------------------
// Both images opaque: every channel byte is the lerp of its blend by the
// pixel's coverage, which is one weight for the whole call (no mask), so the
// bytes are taken as they lie, 32 or 16 at a time and then one by one. Each
// byte gets the same integer steps whatever its position, so every width
// stores the same bytes.

inline bool flat_rgb_eligible(const CompositeJob &job) {
    return job.backdrop.is_uint8 && job.source.is_uint8 && job.backdrop.channels == 3 &&
           job.source.channels == 3 && job.mask.u8 == nullptr && job.mask.f32 == nullptr &&
           straight_lerp_operator(job.op);
}

template <typename Blend, Weighting weighting>
inline void flat_rgb_bytes(const CompositeJob &job, const uint8_t *bg, const uint8_t *fg,
                           uint8_t *out) {
    const npy_intp count = job.pixels * 3;
    const uint32_t weight = weighting == Weighting::none ? 255u : fixed_weight(job.opacity);
    run_width_sequence(
        job.kernel, 0,
        [&](auto lanes, npy_intp index) __attribute__((always_inline)) {
            using I = ivec_t<decltype(lanes)>;
            constexpr int step = static_cast<int>(sizeof(I));  // bytes per group
            const I opaque = u16_of<I>(255);
            const I w = u16_of<I>(static_cast<uint16_t>(weight));
            for (; index + step <= count; index += step) {
                prefetch_pixel(bg, 1, index);
                prefetch_pixel(fg, 1, index);
                I b_lo, b_hi, s_lo, s_hi;
                widen_pixels(bg + index, b_lo, b_hi);
                widen_pixels(fg + index, s_lo, s_hi);
                store_group_bytes(
                    out + index,
                    narrow_to_bytes(straight_over_opaque<Blend, weighting>(b_lo, s_lo, opaque, w),
                                    straight_over_opaque<Blend, weighting>(b_hi, s_hi, opaque, w)));
            }
            return index;
        },
        [&](npy_intp index) __attribute__((always_inline)) {
            for (; index < count; ++index) {
                out[index] = static_cast<uint8_t>(straight_over_opaque<Blend, weighting>(
                    uint32_t{bg[index]}, uint32_t{fg[index]}, 255u, weight));
            }
        });
}

template <typename Blend> inline void run_flat_rgb(const CompositeJob &job, const uint8_t *bg,
                                                   const uint8_t *fg, uint8_t *out) {
    if (weighting_of(job) == Weighting::none) {
        flat_rgb_bytes<Blend, Weighting::none>(job, bg, fg, out);
    } else {
        flat_rgb_bytes<Blend, Weighting::uniform>(job, bg, fg, out);
    }
}

// ---- straight RGBA ----------------------------------------------------------------------
// Per pixel, in float lanes of the group's pixels (as the float rule computes
// them): the shares of source and backdrop, the backdrop's fraction u of the
// result as a 14-bit fraction, the result's alpha byte, and where the
// backdrop is kept or nothing remains. Per channel, in 16-bit lanes: the
// blended source byte and the lerp towards the backdrop by u.

inline int32_t lane_bits(bool condition) { return condition ? -1 : 0; }
inline __m128i lane_bits(__m128 mask) { return _mm_castps_si128(mask); }
inline __m256i lane_bits(__m256 mask) { return _mm256_castps_si256(mask); }
inline int32_t round_lane(float value) { return static_cast<int32_t>(std::lrintf(value)); }
inline __m128i round_lane(__m128 value) { return round_to_i32(value); }
inline __m256i round_lane(__m256 value) { return round_to_i32(value); }

// `ab`, `as`: the alpha bytes as floats; `coverage`: opacity times weight.
template <typename V>
TARNWICK_LANES auto straight_shares(V ab_byte, V as_byte, V coverage,
                                    const CompositeFactorLanes<V> &f) {
    const V zero = splat<V>(0.0f);
    const V one = splat<V>(1.0f);
    const V ab = unit_of<uint8_t>(ab_byte);
    const V as = unit_of<uint8_t>(as_byte) * coverage;
    const V fa = mul_add(f.fa_backdrop, ab, f.fa_const);
    const V fb = mul_add(f.fb_source, as, f.fb_const);
    const V source_share = as * fa;
    const V backdrop_share = ab * fb;
    const V alpha = source_share + backdrop_share;
    const auto visible = gt(alpha, zero);
    const V fraction = keep_if(visible, backdrop_share / alpha);
    struct Shares {
        decltype(round_lane(zero)) fraction, alpha, keep, empty;
    };
    return Shares{round_lane(fraction * splat<V>(16384.0f)),
                  round_lane(pick_min(alpha, one) * splat<V>(255.0f)),
                  lane_bits(mask_and(eq(source_share, zero), eq(fb, one))),
                  ~lane_bits(visible)};
}

// A byte in each 32-bit lane moved to the alpha byte's place.
TARNWICK_LANES __m128i shift_to_alpha(__m128i lanes) { return _mm_slli_epi32(lanes, 24); }
TARNWICK_LANES __m256i shift_to_alpha(__m256i lanes) { return _mm256_slli_epi32(lanes, 24); }

// 32-bit lanes of the pixels' values as 16-bit words (see spread_words).
TARNWICK_LANES __m128i words_of(__m128i lanes) { return _mm_packs_epi32(lanes, lanes); }
TARNWICK_LANES __m128i words_of(__m256i lanes) {
    return _mm_packs_epi32(low_half(lanes), high_half(lanes));
}

// One channel lane: Cs' + round((Cb - Cs') * u), with `fraction` u * 16384.
template <typename Blend, typename L>
TARNWICK_LANES L straight_channel(L cb, L cs, L ab, L fraction) {
    const L byte_max = u16_of<L>(255);
    L blended_source = cs;
    if constexpr (!Blend::is_normal) {
        const L blended = div255_round(Blend::term(cb, cs, byte_max, byte_max));
        blended_source =
            div255_round(add_u16(mul_u16(sub_u16(byte_max, ab), cs), mul_u16(ab, blended)));
    }
    // (2d * u16384 + 2^14) >> 15 is round(d * u) for d within -255..255.
    const L twice = sub_u16(add_u16(cb, cb), add_u16(blended_source, blended_source));
    return add_u16(blended_source, mulhrs_i16(twice, fraction));
}

// `lerp`: an operator that lays the source over an opaque backdrop pixel
// (source_over, source_atop); such pixels take the exact lerp instead, and
// a group of them only that.
template <typename Blend, bool lerp, Weighting weighting>
inline void straight_pixels(const CompositeJob &job, const uint8_t *bg, const uint8_t *fg,
                            uint8_t *out) {
    const BlendMask mask = job.mask;
    const float opacity = job.opacity;
    const uint32_t uniform = fixed_weight(opacity);
    const npy_intp pixels = job.pixels;
    run_width_sequence(
        job.kernel, 0,
        [&](auto lanes, npy_intp index) __attribute__((always_inline)) {
            using V = decltype(lanes);
            using I = ivec_t<V>;
            constexpr int group = lane_count<V>;
            const CompositeFactorLanes<V> factors = factor_lanes<V>(job.op);
            const I alpha_byte = splat_i32<I>(static_cast<int32_t>(0xFF000000u));
            // The lerp of a group's pixels, alpha 255.
            const auto lerp_group = [&](npy_intp at) __attribute__((always_inline)) {
                I b_lo, b_hi, s_lo, s_hi, w_lo, w_hi;
                widen_pixels(bg + at * 4, b_lo, b_hi);
                widen_pixels(fg + at * 4, s_lo, s_hi);
                group_weights<weighting, V>(mask.u8, at, CoverageOf{mask, opacity, at, uniform}, w_lo,
                                            w_hi);
                const auto half = [&](I cb, I cs, I weight) __attribute__((always_inline)) {
                    return straight_over_opaque<Blend, weighting>(cb, cs, spread_alpha(cs), weight);
                };
                return or_u16(narrow_to_bytes(half(b_lo, s_lo, w_lo), half(b_hi, s_hi, w_hi)),
                              alpha_byte);
            };
            for (; index + group <= pixels; index += group) {
                prefetch_pixel(bg, 4, index);
                prefetch_pixel(fg, 4, index);
                const I bg_bytes = load_group_bytes(bg + index * 4, I{});
                const I fg_bytes = load_group_bytes(fg + index * 4, I{});
                I opaque{};
                if constexpr (lerp) {
                    opaque = eq_i32(and_u16(bg_bytes, alpha_byte), alpha_byte);
                    if (all_bits(opaque)) {
                        store_group_bytes(out + index * 4, lerp_group(index));
                        continue;
                    }
                }
                const auto shares = straight_shares(
                    to_float(alpha_bytes(bg_bytes)), to_float(alpha_bytes(fg_bytes)),
                    coverage_lanes(mask, splat<V>(opacity), index), factors);
                I b_lo, b_hi, s_lo, s_hi, u_lo, u_hi;
                widen_pixels(bg + index * 4, b_lo, b_hi);
                widen_pixels(fg + index * 4, s_lo, s_hi);
                spread_words(words_of(shares.fraction), u_lo, u_hi);
                const auto half = [&](I cb, I cs, I u) __attribute__((always_inline)) {
                    return straight_channel<Blend>(cb, cs, spread_alpha(cb), u);
                };
                // The alpha byte, the kept backdrop and the empty pixels per
                // 32-bit pixel lane.
                const I colour = narrow_to_bytes(half(b_lo, s_lo, u_lo), half(b_hi, s_hi, u_hi));
                const I pixel =
                    or_u16(and_u16(colour, ~alpha_byte), shift_to_alpha(shares.alpha));
                I result = select_u16(shares.keep, bg_bytes, and_u16(pixel, ~shares.empty));
                if constexpr (lerp) {
                    // Read again rather than held across the float part.
                    if (any_bits(opaque)) {
                        result = select_u16(opaque, lerp_group(index), result);
                    }
                }
                store_group_bytes(out + index * 4, result);
            }
            return index;
        },
        [&](npy_intp index) __attribute__((always_inline)) {
            const CompositeFactorLanes<float> factors = factor_lanes<float>(job.op);
            for (; index < pixels; ++index) {
                const uint8_t *b = bg + index * 4;
                const uint8_t *s = fg + index * 4;
                uint8_t result[4];
                if (lerp && b[3] == 255) {
                    const uint32_t weight =
                        pixel_weight<weighting>(mask.u8, index, CoverageOf{mask, opacity, index, uniform});
                    for (int c = 0; c < 3; ++c) {
                        result[c] = static_cast<uint8_t>(straight_over_opaque<Blend, weighting>(
                            uint32_t{b[c]}, uint32_t{s[c]}, uint32_t{s[3]}, weight));
                    }
                    result[3] = 255;
                    std::memcpy(out + index * 4, result, 4);
                    continue;
                }
                const auto shares = straight_shares(static_cast<float>(b[3]),
                                                    static_cast<float>(s[3]),
                                                    coverage_lanes(mask, opacity, index), factors);
                for (int c = 0; c < 3; ++c) {
                    result[c] = static_cast<uint8_t>(straight_channel<Blend>(
                        uint32_t{b[c]}, uint32_t{s[c]}, uint32_t{b[3]},
                        static_cast<uint32_t>(shares.fraction)));
                }
                result[3] = static_cast<uint8_t>(shares.alpha);
                for (int c = 0; c < 4; ++c) {
                    result[c] = shares.keep != 0 ? b[c] : (shares.empty != 0 ? 0 : result[c]);
                }
                std::memcpy(out + index * 4, result, 4);
            }
        });
}

// The exact lerp serves opacity 1 (with or without a byte mask), where it
// is cheapest: at other opacities a group that mixes opaque and translucent
// backdrop pixels would pay for both rules.
template <typename Blend>
inline void run_straight_integer(const CompositeJob &job, const uint8_t *bg, const uint8_t *fg,
                                 uint8_t *out) {
    const Weighting weighting = weighting_of(job);
    if (!straight_lerp_operator(job.op) || fixed_point(weighting)) {
        straight_pixels<Blend, false, Weighting::none>(job, bg, fg, out);
    } else if (weighting == Weighting::bytes) {
        straight_pixels<Blend, true, Weighting::bytes>(job, bg, fg, out);
    } else {
        straight_pixels<Blend, true, Weighting::none>(job, bg, fg, out);
    }
}

// ---- RGBA over an RGB backdrop ---------------------------------------------------------
// The backdrop is opaque: straight source_over and source_atop are the lerp.
// A group's 3-channel backdrop bytes are spread to RGBA places, composited
// as RGBA and packed back.

inline bool rgb_backdrop_eligible(const CompositeJob &job) {
    return job.backdrop.is_uint8 && job.source.is_uint8 && job.backdrop.channels == 3 &&
           job.source.channels == 4 && !job.premultiplied && straight_lerp_operator(job.op);
}

template <typename I> TARNWICK_LANES I rgb_to_rgba_places(I rgb) {
    static constexpr byte_mask k_spread{
        {0, 1, 2, 0x80, 3, 4, 5, 0x80, 6, 7, 8, 0x80, 9, 10, 11, 0x80}};
    return shuffle_bytes(rgb, k_spread);
}
template <typename I> TARNWICK_LANES I rgba_to_rgb_places(I rgba) {
    static constexpr byte_mask k_pack{
        {0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 0x80, 0x80, 0x80, 0x80}};
    return shuffle_bytes(rgba, k_pack);
}

template <typename Blend, Weighting weighting>
inline void rgb_backdrop_pixels(const CompositeJob &job, const uint8_t *bg, const uint8_t *fg,
                                uint8_t *out) {
    const BlendMask mask = job.mask;
    const float opacity = job.opacity;
    const uint32_t uniform = fixed_weight(opacity);
    const npy_intp pixels = job.pixels;
    run_width_sequence(
        job.kernel, 0,
        [&](auto lanes, npy_intp index) __attribute__((always_inline)) {
            using V = decltype(lanes);
            using I = ivec_t<V>;
            constexpr int group = lane_count<V>;
            for (; index + group <= pixels; index += group) {
                prefetch_pixel(bg, 3, index);
                prefetch_pixel(fg, 4, index);
                I b_lo, b_hi, s_lo, s_hi, w_lo, w_hi;
                widen_bytes(rgb_to_rgba_places(load_rgb_u8_group<I>(bg + index * 3)), b_lo, b_hi);
                widen_pixels(fg + index * 4, s_lo, s_hi);
                group_weights<weighting, V>(mask.u8, index, CoverageOf{mask, opacity, index, uniform}, w_lo,
                                            w_hi);
                const auto half = [&](I cb, I cs, I weight) __attribute__((always_inline)) {
                    return straight_over_opaque<Blend, weighting>(cb, cs, spread_alpha(cs), weight);
                };
                store_rgb_u8_group(out + index * 3,
                                   rgba_to_rgb_places(narrow_to_bytes(half(b_lo, s_lo, w_lo),
                                                                      half(b_hi, s_hi, w_hi))));
            }
            return index;
        },
        [&](npy_intp index) __attribute__((always_inline)) {
            for (; index < pixels; ++index) {
                const uint8_t *b = bg + index * 3;
                const uint8_t *s = fg + index * 4;
                const uint32_t weight =
                    pixel_weight<weighting>(mask.u8, index, CoverageOf{mask, opacity, index, uniform});
                for (int c = 0; c < 3; ++c) {
                    out[index * 3 + c] = static_cast<uint8_t>(straight_over_opaque<Blend, weighting>(
                        uint32_t{b[c]}, uint32_t{s[c]}, uint32_t{s[3]}, weight));
                }
            }
        });
}

// ---- the dispatch ------------------------------------------------------------------------

// Runs the job on the integer path where it serves it; false where it does
// not (the float rule then runs).
template <typename Blend>
inline bool run_integer_path(const CompositeJob &job, const uint8_t *bg, const uint8_t *fg,
                             uint8_t *out) {
    if (flat_rgb_eligible(job)) {
        run_flat_rgb<Blend>(job, bg, fg, out);
        return true;
    }
    if (rgb_backdrop_eligible(job)) {
        with_weighting(job, [&](auto weighting) {
            rgb_backdrop_pixels<Blend, weighting.value>(job, bg, fg, out);
        });
        return true;
    }
    if (!integer_path_eligible(job)) {
        return false;
    }
    if (job.premultiplied) {
        run_premultiplied_integer<Blend>(job, bg, fg, out);
        return true;
    }
    if (factors_can_add_up(job.op)) {
        return false;  // plus_lighter's cap does not fit the straight lerp
    }
    run_straight_integer<Blend>(job, bg, fg, out);
    return true;
}
