// "divide": min(1, Cb / Cs); by Cs = 0, 0 for a black backdrop and 1 else.
#include "composite_formulas.hpp"

namespace {
struct Channel {
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) {
        const V zero = splat<V>(0.0f);
        const V one = splat<V>(1.0f);
        const V by_zero = select(eq(cb, zero), zero, one);
        return select(eq(cs, zero), by_zero, pick_min(cb / cs, one));
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(divide, SeparableBlend<Channel>)
