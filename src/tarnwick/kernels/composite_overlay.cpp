// "overlay": hard light with backdrop and source exchanged.
#include "composite_formulas.hpp"

namespace {
struct Channel {
    // Premultiplied, in 255^2 units: hard light with the roles swapped: up to 2 * cb = ab, 2 * cb
    // * cs; above, cs * ab + (2 * cb - ab) * as - cs * (2 * cb - ab). The branch not taken may
    // wrap.
    template <typename L> static TARNWICK_LANES L term(L cb, L cs, L ab, L as) {
        const L doubled = add_u16(cb, cb);
        const L over = sub_u16(doubled, ab);
        const L upper = sub_u16(add_u16(mul_u16(cs, ab), mul_u16(over, as)), mul_u16(cs, over));
        return select_u16(ge_u16(ab, doubled), mul_u16(doubled, cs), upper);
    }
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) {
        return hard_light_channel(cs, cb);
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(overlay, SeparableBlend<Channel>)
