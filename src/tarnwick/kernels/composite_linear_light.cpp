// "linear_light": Cb + 2 * Cs - 1, clamped into 0..1.
#include "composite_formulas.hpp"

namespace {
struct Channel {
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) {
        return unit_clamp_in(mul_add(splat<V>(2.0f), cs, cb - splat<V>(1.0f)));
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(linear_light, SeparableBlend<Channel>)
