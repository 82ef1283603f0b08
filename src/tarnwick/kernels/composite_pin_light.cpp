// "pin_light": min(Cb, 2 * Cs) up to Cs = 0.5, max(Cb, 2 * Cs - 1) above.
#include "composite_formulas.hpp"

namespace {
struct Channel {
    // Premultiplied, in 255^2 units: up to 2 * cs = as, min(cb * as, 2 * cs * ab); above, max(cb *
    // as, (2 * cs - as) * ab).
    template <typename L> static TARNWICK_LANES L term(L cb, L cs, L ab, L as) {
        const L doubled = add_u16(cs, cs);
        const L backdrop = mul_u16(cb, as);
        return select_u16(ge_u16(as, doubled), min_u16(backdrop, mul_u16(doubled, ab)),
                          max_u16(backdrop, mul_u16(sub_u16(doubled, as), ab)));
    }
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) {
        const V doubled = cs + cs;
        return select(le(cs, splat<V>(0.5f)), pick_min(cb, doubled),
                      pick_max(cb, doubled - splat<V>(1.0f)));
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(pin_light, SeparableBlend<Channel>)
