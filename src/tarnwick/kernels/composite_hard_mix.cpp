// "hard_mix": 1 where Cb + Cs reaches 1, else 0.
#include "composite_formulas.hpp"

namespace {
struct Channel {
    // Premultiplied, in 255^2 units: as * ab where cs * ab + cb * as >= as * ab, else 0; compared
    // as cs * ab >= as * ab - cb * as, which cannot wrap.
    template <typename L> static TARNWICK_LANES L term(L cb, L cs, L ab, L as) {
        const L both = mul_u16(as, ab);
        return and_u16(ge_u16(mul_u16(cs, ab), sub_u16(both, mul_u16(cb, as))), both);
    }
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) {
        return keep_if(ge(cb + cs, splat<V>(1.0f)), splat<V>(1.0f));
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(hard_mix, SeparableBlend<Channel>)
