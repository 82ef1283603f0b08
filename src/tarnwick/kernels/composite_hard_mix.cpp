// "hard_mix": 1 where Cb + Cs reaches 1, else 0.
#include "composite_formulas.hpp"

namespace {
struct Channel {
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) {
        return keep_if(ge(cb + cs, splat<V>(1.0f)), splat<V>(1.0f));
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(hard_mix, SeparableBlend<Channel>)
