// "linear_light": Cb + 2 * Cs - 1, clamped into 0..1.
#include "composite_formulas.hpp"

namespace {
struct Channel {
    // Premultiplied, in 255^2 units: up to 2 * cs = as, the linear burn of cb and 2 * cs, max(0,
    // cb * as - (as - 2 * cs) * ab); above, the linear dodge of cb and 2 * cs - as, min(as * ab,
    // cb * as + (2 * cs - as) * ab), the sum saturating.
    template <typename L> static TARNWICK_LANES L term(L cb, L cs, L ab, L as) {
        const L doubled = add_u16(cs, cs);
        const L backdrop = mul_u16(cb, as);
        const L burn = subs_u16(backdrop, mul_u16(sub_u16(as, doubled), ab));
        const L dodge =
            min_u16(mul_u16(as, ab), adds_u16(backdrop, mul_u16(sub_u16(doubled, as), ab)));
        return select_u16(ge_u16(as, doubled), burn, dodge);
    }
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) {
        return unit_clamp_in(mul_add(splat<V>(2.0f), cs, cb - splat<V>(1.0f)));
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(linear_light, SeparableBlend<Channel>)
