// The compositor of the compositing model: a blend function mixed into the
// source by the backdrop's alpha, then an operator's factors, on straight or
// premultiplied images. One rule, written once over the lane type, serves
// the scalar loop and the four- and eight-lane loops; only the loads and
// stores differ, and they read and write the same values, so every width
// stores the same bits.
//
// Per pixel, with unit colours Cb, Cs and alphas ab, as (the source's alpha
// times the opacity and the mask weight):
//   Cs' = clamp((1 - ab) * Cs + ab * B(Cb, Cs)),
//   co  = as * Fa * Cs' + ab * Fb * Cb,   ao = as * Fa + ab * Fb,
// stored as co / ao (0 where ao = 0) or, premultiplied, as co.
// Where nothing of the source is drawn (as * Fa = 0) and Fb = 1, the result
// is the backdrop's stored values, bit for bit, even where the formula would
// zero a colour under alpha 0 or clamp a premultiplied colour to its alpha.
#pragma once

#include <immintrin.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "blend_call.hpp"
#include "channel_access.hpp"
#include "composite_call.hpp"
#include "kernel_select.hpp"
#include "mask_input.hpp"
#include "normal_compositor.hpp"
#include "pixel_simd.hpp"
#include "simd.hpp"

// Everything a pixel loop calls per group is forced inline: a call would pass
// the lane structures through memory.
#define TARNWICK_LANES __attribute__((always_inline)) inline

template <typename V> using lane_mask_t = decltype(eq(std::declval<V>(), std::declval<V>()));

template <typename V> struct RgbLanes {
    V r;
    V g;
    V b;
};

// ---- lane operations with one rule at every width ---------------------------
// Minimum and maximum as the vector instructions define them, the first
// operand where the comparison holds and else the second, so that a single
// float gives exactly what a lane gives (NaN and signed zeros included).

TARNWICK_LANES float pick_min(float a, float b) { return a < b ? a : b; }
TARNWICK_LANES __m128 pick_min(__m128 a, __m128 b) { return _mm_min_ps(a, b); }
TARNWICK_LANES __m256 pick_min(__m256 a, __m256 b) { return _mm256_min_ps(a, b); }
TARNWICK_LANES float pick_max(float a, float b) { return a > b ? a : b; }
TARNWICK_LANES __m128 pick_max(__m128 a, __m128 b) { return _mm_max_ps(a, b); }
TARNWICK_LANES __m256 pick_max(__m256 a, __m256 b) { return _mm256_max_ps(a, b); }

// Into 0..1; NaN becomes 0.
template <typename V> TARNWICK_LANES V unit_clamp_in(V x) {
    return pick_min(pick_max(x, splat<V>(0.0f)), splat<V>(1.0f));
}

template <typename V> TARNWICK_LANES V min3(const RgbLanes<V> &c) {
    return pick_min(pick_min(c.r, c.g), c.b);
}
template <typename V> TARNWICK_LANES V max3(const RgbLanes<V> &c) {
    return pick_max(pick_max(c.r, c.g), c.b);
}

// ---- blend functions ------------------------------------------------------
// A blend function is a type with a static member template
//   RgbLanes<V> apply(const RgbLanes<V> &cb, const RgbLanes<V> &cs)
// on straight unit colours (each within 0..1) and a flag is_normal. The
// separable ones give a per-channel `mix(cb, cs)` and are lifted here.

// A channel may also give `term(cb, cs, ab, as)`, its premultiplied integer
// form for the integer path (see composite_integer.hpp).
template <typename Channel> struct SeparableBlend {
    static constexpr bool is_normal = false;
    template <typename V>
    static TARNWICK_LANES RgbLanes<V> apply(const RgbLanes<V> &cb, const RgbLanes<V> &cs) {
        return {Channel::mix(cb.r, cs.r), Channel::mix(cb.g, cs.g), Channel::mix(cb.b, cs.b)};
    }
    template <typename L, typename C = Channel>
    static TARNWICK_LANES auto term(L cb, L cs, L ab, L as) -> decltype(C::term(cb, cs, ab, as)) {
        return C::term(cb, cs, ab, as);
    }
};

// ---- the per-pixel rule -----------------------------------------------------

template <typename V> struct CompositeFactorLanes {
    V fa_const;
    V fa_backdrop;
    V fb_const;
    V fb_source;
};

template <typename V>
TARNWICK_LANES CompositeFactorLanes<V> factor_lanes(const CompositeOperator &op) {
    return {splat<V>(op.fa_const), splat<V>(op.fa_backdrop), splat<V>(op.fb_const),
            splat<V>(op.fb_source)};
}

template <typename V> struct CompositeResult {
    RgbLanes<V> colour;   // unit values as stored: straight or premultiplied
    V alpha;
    lane_mask_t<V> keep;  // the backdrop stays as it is: store its own values
};

// Alphas below the smallest normal float count as 0: the reciprocal of
// anything smaller is infinite, and 0 times it NaN.
template <typename V> TARNWICK_LANES lane_mask_t<V> visible_alpha(V alpha) {
    return gt(alpha, splat<V>(FLT_MIN));
}

// A premultiplied colour as a straight one. `colour` is at most `alpha`;
// colour equal to alpha is exactly 1, so the blend functions' tests for 1
// see a full channel as such; no alpha gives 0. A colour below its alpha is
// at most alpha * (1 - 2^-25), and times the reciprocal (at most 2^-24 above
// the true one) it rounds to 1 at most: no cap needed.
template <typename V> TARNWICK_LANES RgbLanes<V> unpremultiply(const RgbLanes<V> &c, V alpha) {
    const V one = splat<V>(1.0f);
    const V inv = one / alpha;
    const lane_mask_t<V> visible = visible_alpha(alpha);
    const auto channel = [&](V value) __attribute__((always_inline)) {
        return keep_if(visible, select(eq(value, alpha), one, value * inv));
    };
    return {channel(c.r), channel(c.g), channel(c.b)};
}

// `cb`, `cs`: unit colours as read (each within 0..1); `ab`, `as_own`: the
// images' alphas (1 without an alpha channel); `coverage`: opacity times
// mask weight.
template <typename Blend, bool premultiplied, typename V>
TARNWICK_LANES CompositeResult<V> composite_rule(RgbLanes<V> cb, V ab, RgbLanes<V> cs,
                                                 V as_own, V coverage,
                                                 const CompositeFactorLanes<V> &f) {
    const V zero = splat<V>(0.0f);
    const V one = splat<V>(1.0f);
    const V as = as_own * coverage;
    const V fa = mul_add(f.fa_backdrop, ab, f.fa_const);
    const V fb = mul_add(f.fb_source, as, f.fb_const);
    const V source_share = as * fa;
    RgbLanes<V> backdrop_term;  // ab * Fb * Cb
    if constexpr (premultiplied) {
        // A colour above its alpha is taken as the alpha.
        cb = {pick_min(cb.r, ab), pick_min(cb.g, ab), pick_min(cb.b, ab)};
        cs = {pick_min(cs.r, as_own), pick_min(cs.g, as_own), pick_min(cs.b, as_own)};
        backdrop_term = {fb * cb.r, fb * cb.g, fb * cb.b};
    } else {
        const V backdrop_share = ab * fb;
        backdrop_term = {backdrop_share * cb.r, backdrop_share * cb.g, backdrop_share * cb.b};
    }
    RgbLanes<V> co;
    if constexpr (Blend::is_normal) {
        // B = Cs leaves Cs' = Cs; and as * Cs of a premultiplied source is
        // coverage * cs, so "normal" divides nothing.
        if constexpr (premultiplied) {
            const V scale = fa * coverage;
            co = {mul_add(scale, cs.r, backdrop_term.r), mul_add(scale, cs.g, backdrop_term.g),
                  mul_add(scale, cs.b, backdrop_term.b)};
        } else {
            co = {mul_add(source_share, cs.r, backdrop_term.r),
                  mul_add(source_share, cs.g, backdrop_term.g),
                  mul_add(source_share, cs.b, backdrop_term.b)};
        }
    } else {
        RgbLanes<V> straight_b = cb;
        RgbLanes<V> straight_s = cs;
        if constexpr (premultiplied) {
            straight_b = unpremultiply(cb, ab);
            straight_s = unpremultiply(cs, as_own);
        }
        const RgbLanes<V> mixed = Blend::apply(straight_b, straight_s);
        const auto channel = [&](V blended, V source, V backdrop) __attribute__((always_inline)) {
            const V source_mixed = unit_clamp_in(mul_add(ab, blended - source, source));
            return mul_add(source_share, source_mixed, backdrop);
        };
        co = {channel(mixed.r, straight_s.r, backdrop_term.r),
              channel(mixed.g, straight_s.g, backdrop_term.g),
              channel(mixed.b, straight_s.b, backdrop_term.b)};
    }
    // Capping alpha at 1 and the colour at the alpha is plus_lighter's
    // clamp; for every other operator it only removes roundings.
    const V alpha = pick_min(mul_add(ab, fb, source_share), one);
    co = {pick_min(co.r, alpha), pick_min(co.g, alpha), pick_min(co.b, alpha)};
    if constexpr (!premultiplied) {
        const V inv = one / alpha;
        const lane_mask_t<V> visible = visible_alpha(alpha);
        co = {keep_if(visible, pick_min(co.r * inv, one)),
              keep_if(visible, pick_min(co.g * inv, one)),
              keep_if(visible, pick_min(co.b * inv, one))};
    }
    return {co, alpha, mask_and(eq(source_share, zero), eq(fb, one))};
}

// ---- conversions between stored and unit values -----------------------------

// A stored value as a unit value: a byte times the float nearest 1/255, as
// the vector byte loads do (0 and 255 give exactly 0 and 1), a uint16 value
// likewise times the float nearest 1/65535; a float divided by its scale
// (255, or the call's float_scale) and clamped into 0..1, NaN reading as 0.
template <typename T, typename V>
TARNWICK_LANES V unit_of(V stored, V scale = splat<V>(255.0f)) {
    if constexpr (std::is_same_v<T, uint8_t>) {
        return stored * splat<V>(k_inv255);
    } else if constexpr (std::is_same_v<T, uint16_t>) {
        return stored * splat<V>(k_inv65535);
    } else {
        return unit_clamp_in(stored / scale);
    }
}

// What 1 is on an integer element type.
template <typename T> inline constexpr float k_integer_top = std::is_same_v<T, uint8_t> ? 255.0f : 65535.0f;

// The value to store: the backdrop's own where the rule keeps it, else the
// result on the output's scale (255 for bytes, 65535 for uint16).
template <typename O, typename V>
TARNWICK_LANES V stored_value(lane_mask_t<V> keep, V backdrop_stored, V unit, V scale) {
    if constexpr (std::is_integral_v<O>) {
        return select(keep, backdrop_stored, unit * splat<V>(k_integer_top<O>));
    } else {
        return select(keep, backdrop_stored, unit * scale);
    }
}

// An integer as the vector packs make it: capped at its top (255 or 65535),
// rounded to nearest with ties to even, anything not above 0 (NaN too)
// giving 0.
template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
inline void store_element(T *data, npy_intp index, float value) {
    const float capped = pick_min(k_integer_top<T>, value);
    data[index] = static_cast<T>(capped > 0.0f ? std::lrintf(capped) : 0);
}
inline void store_element(float *data, npy_intp index, float value) { data[index] = value; }

template <typename V> TARNWICK_LANES ivec_t<V> byte_lanes(V value) {
    return round_to_i32(pick_min(splat<V>(255.0f), value));
}

// ---- group loads and stores of stored values --------------------------------

template <int channels, typename V>
TARNWICK_LANES void load_stored_group(const uint8_t *data, npy_intp index, V &r, V &g, V &b, V &a) {
    using I = ivec_t<V>;
    I ri, gi, bi;
    if constexpr (channels == 4) {
        I ai;
        rgba_bytes_to_u32(load_rgba_u8_group<I>(data + index * 4), ri, gi, bi, ai);
        a = to_float(ai);
    } else {
        load_rgb_u32_group<V>(data + index * 3, ri, gi, bi);
    }
    r = to_float(ri);
    g = to_float(gi);
    b = to_float(bi);
}

// Floats as they are; uint16 values widened to floats.
template <int channels, typename V, typename E>
TARNWICK_LANES void load_stored_group(const E *data, npy_intp index, V &r, V &g, V &b, V &a) {
    if constexpr (channels == 4) {
        load_rgba_elements(data + index * 4, splat<V>(1.0f), r, g, b, a);
    } else {
        load_rgb_elements(data + index * 3, splat<V>(1.0f), r, g, b);
    }
}

template <int channels, typename V>
TARNWICK_LANES void store_stored_group(uint8_t *data, npy_intp index, V r, V g, V b, V a) {
    if constexpr (channels == 4) {
        store_rgba_u8_group(data + index * 4,
                            pack_rgba_u32_lanes(byte_lanes(r), byte_lanes(g), byte_lanes(b),
                                                byte_lanes(a)));
    } else {
        store_rgb_u32_group(data + index * 3, byte_lanes(r), byte_lanes(g), byte_lanes(b));
    }
}

// Floats as they are; uint16 values rounded by the group stores.
template <int channels, typename V, typename E>
TARNWICK_LANES void store_stored_group(E *data, npy_intp index, V r, V g, V b, V a) {
    if constexpr (channels == 4) {
        store_stored_rgba_group(data + index * 4, r, g, b, a);
    } else {
        store_stored_rgb_group(data + index * 3, r, g, b);
    }
}

// Opacity times the mask weights of the lanes' pixels.
template <typename V>
TARNWICK_LANES V coverage_lanes(const BlendMask &mask, V opacity, npy_intp index) {
    if (mask.u8 != nullptr) {
        return opacity * load_mask_weights<V>(mask.u8, index);
    }
    if (mask.f32 != nullptr) {
        return opacity * load_mask_weights<V>(mask.f32, index);
    }
    return opacity;
}

// ---- linear light on uint8 images --------------------------------------------
// Colour codes decoded by the table to linear light on 0..255, read as a
// float image on 0..255 is; the results encoded back to the nearest code,
// alpha stored as any byte.

// Table entries at 32-bit lane indexes: a look-up per lane, or a gather.
TARNWICK_LANES float table_lanes(const float *table, int32_t index) { return table[index]; }
TARNWICK_LANES __m128 table_lanes(const float *table, __m128i index) {
    return _mm_i32gather_ps(table, index, 4);
}
TARNWICK_LANES __m256 table_lanes(const float *table, __m256i index) {
    return _mm256_i32gather_ps(table, index, 4);
}
TARNWICK_LANES int32_t table_lanes(const int32_t *table, int32_t index) { return table[index]; }
TARNWICK_LANES __m128i table_lanes(const int32_t *table, __m128i index) {
    return _mm_i32gather_epi32(table, index, 4);
}
TARNWICK_LANES __m256i table_lanes(const int32_t *table, __m256i index) {
    return _mm256_i32gather_epi32(table, index, 4);
}

// The encode bucket of values within 0..255: their top 16 bits.
TARNWICK_LANES int32_t encode_bucket(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return static_cast<int32_t>(bits >> k_encode_shift);
}
TARNWICK_LANES __m128i encode_bucket(__m128 v) { return _mm_srli_epi32(float_bits(v), k_encode_shift); }
TARNWICK_LANES __m256i encode_bucket(__m256 v) {
    return _mm256_srli_epi32(float_bits(v), k_encode_shift);
}

// `base` plus one where `above` holds (a true vector lane is -1).
TARNWICK_LANES int32_t plus_one_if(int32_t base, bool above) { return base + (above ? 1 : 0); }
TARNWICK_LANES __m128i plus_one_if(__m128i base, __m128 above) {
    return _mm_sub_epi32(base, float_bits(above));
}
TARNWICK_LANES __m256i plus_one_if(__m256i base, __m256 above) {
    return _mm256_sub_epi32(base, float_bits(above));
}

TARNWICK_LANES int32_t code_lanes(float code) { return static_cast<int32_t>(code); }
template <typename V> TARNWICK_LANES ivec_t<V> code_lanes(V code) { return truncate_to_i32(code); }

// A stored code (a whole number within 0..255) as linear light on 0..255.
template <typename V> TARNWICK_LANES V decode_element(const SrgbTables &t, V code) {
    return table_lanes(t.decode, code_lanes(code));
}

// The nearest code to linear light on 0..255; clamped into 0..255 first
// (NaN to 0, -0 to +0), so the top bits index the table.
template <typename V> TARNWICK_LANES auto encode_element(const SrgbTables &t, V value) {
    const V v = pick_min(pick_max(value, splat<V>(0.0f)), splat<V>(255.0f)) + splat<V>(0.0f);
    const auto bucket = encode_bucket(v);
    return plus_one_if(table_lanes(t.base, bucket), ge(v, table_lanes(t.threshold, bucket)));
}

template <int channels, typename V>
TARNWICK_LANES void store_linear_group(const SrgbTables &t, uint8_t *data, npy_intp index, V r,
                                       V g, V b, V a) {
    if constexpr (channels == 4) {
        store_rgba_u8_group(data + index * 4,
                            pack_rgba_u32_lanes(encode_element(t, r), encode_element(t, g),
                                                encode_element(t, b), byte_lanes(a)));
    } else {
        store_rgb_u32_group(data + index * 3, encode_element(t, r), encode_element(t, g),
                            encode_element(t, b));
    }
}

// The integer path builds on the lane operations, the factors and the
// coverage above.
#include "composite_integer.hpp"

// ---- loops --------------------------------------------------------------------

// `linear`: uint8 colours in linear light (job.linear's tables), every
// channel then read as a float on 0..255 is.
template <typename Blend, bool premultiplied, bool linear = false, typename B, typename F,
          typename O>
inline void composite_scalar_loop(const CompositeJob &job, const B *bg, const F *fg, O *out,
                                  npy_intp index) {
    using BU = std::conditional_t<linear, float, B>;
    using FU = std::conditional_t<linear, float, F>;
    const int bg_channels = job.backdrop.channels;
    const int fg_channels = job.source.channels;
    const CompositeFactorLanes<float> factors = factor_lanes<float>(job.op);
    const BlendMask mask = job.mask;
    const npy_intp pixels = job.pixels;
    const float opacity = job.opacity;
    const float scale = linear ? 255.0f : job.float_scale;
    for (; index < pixels; ++index) {
        const npy_intp bg_base = index * bg_channels;
        const npy_intp fg_base = index * fg_channels;
        float bg_stored[4] = {static_cast<float>(bg[bg_base]), static_cast<float>(bg[bg_base + 1]),
                              static_cast<float>(bg[bg_base + 2]),
                              bg_channels == 4 ? static_cast<float>(bg[bg_base + 3]) : 0.0f};
        float fg_stored[3] = {static_cast<float>(fg[fg_base]), static_cast<float>(fg[fg_base + 1]),
                              static_cast<float>(fg[fg_base + 2])};
        if constexpr (linear) {
            for (int c = 0; c < 3; ++c) {
                bg_stored[c] = decode_element(*job.linear, bg_stored[c]);
                fg_stored[c] = decode_element(*job.linear, fg_stored[c]);
            }
        }
        const RgbLanes<float> cb{unit_of<BU>(bg_stored[0], scale), unit_of<BU>(bg_stored[1], scale),
                                 unit_of<BU>(bg_stored[2], scale)};
        const float ab = bg_channels == 4 ? unit_of<BU>(bg_stored[3], scale) : 1.0f;
        const RgbLanes<float> cs{unit_of<FU>(fg_stored[0], scale), unit_of<FU>(fg_stored[1], scale),
                                 unit_of<FU>(fg_stored[2], scale)};
        const float as =
            fg_channels == 4 ? unit_of<FU>(static_cast<float>(fg[fg_base + 3]), scale) : 1.0f;
        const float coverage = coverage_lanes(mask, opacity, index);
        const CompositeResult<float> result =
            composite_rule<Blend, premultiplied>(cb, ab, cs, as, coverage, factors);
        const auto value = [&](float stored, float unit) __attribute__((always_inline)) {
            return stored_value<std::conditional_t<linear, float, O>>(result.keep, stored, unit,
                                                                      scale);
        };
        if constexpr (linear) {
            for (int c = 0; c < 3; ++c) {
                const float unit = c == 0 ? result.colour.r : c == 1 ? result.colour.g : result.colour.b;
                out[bg_base + c] =
                    static_cast<O>(encode_element(*job.linear, value(bg_stored[c], unit)));
            }
        } else {
            store_element(out, bg_base, value(bg_stored[0], result.colour.r));
            store_element(out, bg_base + 1, value(bg_stored[1], result.colour.g));
            store_element(out, bg_base + 2, value(bg_stored[2], result.colour.b));
        }
        if (bg_channels == 4) {
            store_element(out, bg_base + 3, value(bg_stored[3], result.alpha));
        }
    }
}

// Groups of V's lane count from `index` while a whole group remains; returns
// the first pixel it left.
template <typename V, int bg_channels, int fg_channels, typename Blend, bool premultiplied,
          bool linear, typename B, typename F, typename O>
inline npy_intp composite_vector_groups(const CompositeJob &job, const B *bg, const F *fg, O *out,
                                        npy_intp index) {
    using BU = std::conditional_t<linear, float, B>;
    using FU = std::conditional_t<linear, float, F>;
    using OU = std::conditional_t<linear, float, O>;
    constexpr int lanes = lane_count<V>;
    const V one = splat<V>(1.0f);
    const V opacity = splat<V>(job.opacity);
    const V scale = splat<V>(linear ? 255.0f : job.float_scale);
    const CompositeFactorLanes<V> factors = factor_lanes<V>(job.op);
    // Local copies: the byte stores could alias the job as far as the
    // compiler knows, and would make it read these again every group.
    const BlendMask mask = job.mask;
    const npy_intp pixels = job.pixels;
    for (; index + lanes <= pixels; index += lanes) {
        if constexpr (lanes == 8) {
            prefetch_pixel(bg, bg_channels, index);
            prefetch_pixel(fg, fg_channels, index);
        }
        V bg_r, bg_g, bg_b, bg_a = one;
        V fg_r, fg_g, fg_b, fg_a = one;
        load_stored_group<bg_channels>(bg, index, bg_r, bg_g, bg_b, bg_a);
        load_stored_group<fg_channels>(fg, index, fg_r, fg_g, fg_b, fg_a);
        if constexpr (linear) {
            const SrgbTables &t = *job.linear;
            bg_r = decode_element(t, bg_r), bg_g = decode_element(t, bg_g), bg_b = decode_element(t, bg_b);
            fg_r = decode_element(t, fg_r), fg_g = decode_element(t, fg_g), fg_b = decode_element(t, fg_b);
        }
        const RgbLanes<V> cb{unit_of<BU>(bg_r, scale), unit_of<BU>(bg_g, scale),
                             unit_of<BU>(bg_b, scale)};
        const V ab = bg_channels == 4 ? unit_of<BU>(bg_a, scale) : one;
        const RgbLanes<V> cs{unit_of<FU>(fg_r, scale), unit_of<FU>(fg_g, scale),
                             unit_of<FU>(fg_b, scale)};
        const V as = fg_channels == 4 ? unit_of<FU>(fg_a, scale) : one;
        const CompositeResult<V> result = composite_rule<Blend, premultiplied>(
            cb, ab, cs, as, coverage_lanes(mask, opacity, index), factors);
        const V r = stored_value<OU>(result.keep, bg_r, result.colour.r, scale);
        const V g = stored_value<OU>(result.keep, bg_g, result.colour.g, scale);
        const V b = stored_value<OU>(result.keep, bg_b, result.colour.b, scale);
        const V a = stored_value<OU>(result.keep, bg_a, result.alpha, scale);
        if constexpr (linear) {
            store_linear_group<bg_channels>(*job.linear, out, index, r, g, b, a);
        } else {
            store_stored_group<bg_channels>(out, index, r, g, b, a);
        }
    }
    return index;
}

template <typename Blend, bool premultiplied, bool linear = false, typename B, typename F,
          typename O>
inline void composite_pixels(const CompositeJob &job, const B *bg, const F *fg, O *out) {
    run_width_sequence(
        job.kernel, 0,
        [&](auto lanes, npy_intp from) __attribute__((always_inline)) {
            using V = decltype(lanes);
            with_channel_counts(job.backdrop.channels, job.source.channels,
                                [&](auto bg_channels, auto fg_channels) {
                                    from = composite_vector_groups<V, bg_channels, fg_channels,
                                                                   Blend, premultiplied, linear>(
                                        job, bg, fg, out, from);
                                });
            return from;
        },
        [&](npy_intp from) __attribute__((always_inline)) {
            composite_scalar_loop<Blend, premultiplied, linear>(job, bg, fg, out, from);
        });
}

// The kernel of one blend function: the loops for the job's element types,
// channel counts, storage and kernel width.
template <typename Blend> inline void run_composite(const CompositeJob *job) {
    BlendOutput output = job->output;
    const auto typed = [&](auto bg, auto fg, auto out) __attribute__((always_inline)) {
        using B = std::remove_cv_t<std::remove_pointer_t<decltype(bg)>>;
        using F = std::remove_cv_t<std::remove_pointer_t<decltype(fg)>>;
        if constexpr (std::is_same_v<B, uint8_t> && std::is_same_v<F, uint8_t>) {
            if (job->linear != nullptr) {
                composite_pixels<Blend, false, true>(*job, bg, fg, out);
                return;
            }
        }
        if constexpr (integer_blend<Blend> && std::is_same_v<B, uint8_t> &&
                      std::is_same_v<F, uint8_t>) {
            if (run_integer_path<Blend>(*job, bg, fg, out)) {
                return;
            }
        }
        if (job->premultiplied) {
            composite_pixels<Blend, true>(*job, bg, fg, out);
        } else {
            composite_pixels<Blend, false>(*job, bg, fg, out);
        }
    };
    // The entry takes uint16 only for both images (the output follows the
    // backdrop).
    if (job->backdrop.is_uint16) {
        typed(job->backdrop.u16, job->source.u16, output.u16);
    } else {
        with_typed_data(&job->backdrop, &job->source, &output, typed);
    }
}

// Defines composite_<blend>, the kernel the private entry calls, for the
// blend function type `Kernel`.
#define TARNWICK_COMPOSITE_KERNEL(blend, Kernel) \
    void composite_##blend(const CompositeJob *job) { run_composite<Kernel>(job); }
