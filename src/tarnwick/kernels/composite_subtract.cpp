// "subtract": max(0, Cb - Cs).
#include "composite_formulas.hpp"

namespace {
struct Channel {
    // Premultiplied, in 255^2 units: max(0, cb * as - cs * ab).
    template <typename L> static TARNWICK_LANES L term(L cb, L cs, L ab, L as) {
        return subs_u16(mul_u16(cb, as), mul_u16(cs, ab));
    }
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) {
        return pick_max(cb - cs, splat<V>(0.0f));
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(subtract, SeparableBlend<Channel>)
