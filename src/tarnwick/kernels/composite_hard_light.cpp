// "hard_light": multiply by 2 * Cs up to Cs = 0.5, screen by 2 * Cs - 1 above.
#include "composite_formulas.hpp"

namespace {
struct Channel {
    // Premultiplied, in 255^2 units: up to 2 * cs = as, 2 * cs * cb; above, the screen of cb and 2
    // * cs - as, cb * as + (2 * cs - as) * ab - cb * (2 * cs - as). The branch not taken may wrap.
    template <typename L> static TARNWICK_LANES L term(L cb, L cs, L ab, L as) {
        const L doubled = add_u16(cs, cs);
        const L over = sub_u16(doubled, as);
        const L upper = sub_u16(add_u16(mul_u16(cb, as), mul_u16(over, ab)), mul_u16(cb, over));
        return select_u16(ge_u16(as, doubled), mul_u16(doubled, cb), upper);
    }
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) {
        return hard_light_channel(cb, cs);
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(hard_light, SeparableBlend<Channel>)
