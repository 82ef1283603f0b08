// "hard_light": multiply by 2 * Cs up to Cs = 0.5, screen by 2 * Cs - 1 above.
#include "composite_formulas.hpp"

namespace {
struct Channel {
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) {
        return hard_light_channel(cb, cs);
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(hard_light, SeparableBlend<Channel>)
