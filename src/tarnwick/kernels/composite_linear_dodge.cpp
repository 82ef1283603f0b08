// "linear_dodge": min(1, Cb + Cs).
#include "composite_formulas.hpp"

namespace {
struct Channel {
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) {
        return pick_min(cb + cs, splat<V>(1.0f));
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(linear_dodge, SeparableBlend<Channel>)
