// "pin_light": min(Cb, 2 * Cs) up to Cs = 0.5, max(Cb, 2 * Cs - 1) above.
#include "composite_formulas.hpp"

namespace {
struct Channel {
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) {
        const V doubled = cs + cs;
        return select(le(cs, splat<V>(0.5f)), pick_min(cb, doubled),
                      pick_max(cb, doubled - splat<V>(1.0f)));
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(pin_light, SeparableBlend<Channel>)
