// "lighten": the larger of Cb and Cs.
#include "composite_formulas.hpp"

namespace {
struct Channel {
    // Premultiplied, in 255^2 units: the larger of cs * ab and cb * as.
    template <typename L> static TARNWICK_LANES L term(L cb, L cs, L ab, L as) {
        return max_u16(mul_u16(cs, ab), mul_u16(cb, as));
    }
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) { return pick_max(cb, cs); }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(lighten, SeparableBlend<Channel>)
