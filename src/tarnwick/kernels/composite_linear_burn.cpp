// "linear_burn": max(0, Cb + Cs - 1).
#include "composite_formulas.hpp"

namespace {
struct Channel {
    // Premultiplied, in 255^2 units: max(0, cs * ab - (as * ab - cb * as)), the bracket never
    // negative.
    template <typename L> static TARNWICK_LANES L term(L cb, L cs, L ab, L as) {
        return subs_u16(mul_u16(cs, ab), sub_u16(mul_u16(as, ab), mul_u16(cb, as)));
    }
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) {
        return pick_max(cb + cs - splat<V>(1.0f), splat<V>(0.0f));
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(linear_burn, SeparableBlend<Channel>)
