// "linear_dodge": min(1, Cb + Cs).
#include "composite_formulas.hpp"

namespace {
struct Channel {
    // Premultiplied, in 255^2 units: min(as * ab, cs * ab + cb * as), the sum saturating.
    template <typename L> static TARNWICK_LANES L term(L cb, L cs, L ab, L as) {
        return min_u16(mul_u16(as, ab), adds_u16(mul_u16(cs, ab), mul_u16(cb, as)));
    }
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) {
        return pick_min(cb + cs, splat<V>(1.0f));
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(linear_dodge, SeparableBlend<Channel>)
