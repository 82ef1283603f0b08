// The separable modes' kernel types and the per-pixel rule of the ratio
// compositor, written once for a single value and for 4 or 8 lanes. The
// order of operations and the fused steps are part of the rule: every loop
// reproduces the scalar loop's values exactly from equal inputs.
#pragma once

#include <cstdint>
#include <type_traits>

#include "separable_kernels.hpp"
#include "simd.hpp"

// The compositor's loops are forced inline into each mode's entry function,
// where the kernel pointers are constants: the compiler then calls (and
// inlines) the kernels directly instead of through a pointer per vector.
#define TARNWICK_LOOP inline __attribute__((always_inline))

typedef float (*blend_comp_fn)(float in_c, float layer_c);
typedef __m128 (*blend_comp_fn128)(__m128 in_c, __m128 layer_c);
typedef __m256 (*blend_comp_fn256)(__m256 in_c, __m256 layer_c);
typedef __m128 (*blend_comp_fn128_u8)(__m128i in_c, __m128i layer_c, __m128 inv255);
typedef __m256 (*blend_comp_fn256_u8)(__m256i in_c, __m256i layer_c, __m256 inv255);

// Weight of the kernel's result: the coverage min(in_a, layer_a) * opacity
// relative to the alpha an "over" of that coverage would leave; 0 where
// that alpha is not positive (or NaN). Opaque images give exactly `opacity`.
// The colour-model compositor weighs its kernel's result by the same rule,
// so every kernel of every mode treats out-of-range alphas alike.
template <typename V>
inline V ratio_weight(V in_a, V layer_a, V opacity) {
    const V comp_alpha = lane_min(in_a, layer_a) * opacity;
    const V new_alpha = mul_add(comp_alpha, splat<V>(1.0f) - in_a, in_a);
    return keep_if(gt(new_alpha, splat<V>(0.0f)), comp_alpha / new_alpha);
}

// comp * ratio + (1 - ratio) * in_c: the product (1 - ratio) * in_c rounded,
// the sum fused; clamped into [0, 1] for the modes that ask for it.
template <typename V>
inline V ratio_mix(V comp, V ratio, V in_c, int clip_output) {
    const V out = mul_add(comp, ratio, (splat<V>(1.0f) - ratio) * in_c);
    return clip_output ? clamp_unit(out) : out;
}

// The one choice between a mode's byte-input kernel and its float kernel:
// `loop(std::true_type{})` when both images are bytes and the mode has a
// byte kernel of the width at hand (`comp_u8` not null), otherwise
// `loop(std::false_type{})`, the float kernel on converted values.
template <typename B, typename F, typename CompU8, typename Loop>
TARNWICK_LOOP npy_intp with_kernel_input(const B *, const F *, CompU8 comp_u8, Loop &&loop) {
    if constexpr (std::is_same_v<B, uint8_t> && std::is_same_v<F, uint8_t>) {
        if (comp_u8 != nullptr) {
            return loop(std::true_type{});
        }
    }
    return loop(std::false_type{});
}
