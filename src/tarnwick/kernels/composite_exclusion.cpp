// "exclusion": Cb + Cs - 2 * Cb * Cs.
#include "composite_formulas.hpp"

namespace {
struct Channel {
    // Premultiplied, in 255^2 units: cs * ab + cb * as - 2 * cs * cb.
    template <typename L> static TARNWICK_LANES L term(L cb, L cs, L ab, L as) {
        const L product = mul_u16(cs, cb);
        return sub_u16(sub_u16(add_u16(mul_u16(cs, ab), mul_u16(cb, as)), product), product);
    }
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) {
        return fnmadd(cb + cb, cs, cb + cs);
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(exclusion, SeparableBlend<Channel>)
