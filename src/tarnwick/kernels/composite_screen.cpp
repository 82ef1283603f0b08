// "screen": Cb + Cs - Cb * Cs.
#include "composite_formulas.hpp"

namespace {
struct Channel {
    // Premultiplied, in 255^2 units: cs * ab + cb * as - cs * cb.
    template <typename L> static TARNWICK_LANES L term(L cb, L cs, L ab, L as) {
        return sub_u16(add_u16(mul_u16(cs, ab), mul_u16(cb, as)), mul_u16(cs, cb));
    }
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) {
        return screen_channel(cb, cs);
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(screen, SeparableBlend<Channel>)
