// "difference": |Cb - Cs|.
#include "composite_formulas.hpp"

namespace {
struct Channel {
    // Premultiplied, in 255^2 units: |cs * ab - cb * as|.
    template <typename L> static TARNWICK_LANES L term(L cb, L cs, L ab, L as) {
        const L x = mul_u16(cs, ab);
        const L y = mul_u16(cb, as);
        return sub_u16(max_u16(x, y), min_u16(x, y));
    }
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) { return lane_abs(cb - cs); }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(difference, SeparableBlend<Channel>)
