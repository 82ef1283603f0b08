// "subtract": max(0, Cb - Cs).
#include "composite_formulas.hpp"

namespace {
struct Channel {
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) {
        return pick_max(cb - cs, splat<V>(0.0f));
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(subtract, SeparableBlend<Channel>)
