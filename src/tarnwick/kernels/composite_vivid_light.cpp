// "vivid_light": colour burn by 2 * Cs up to Cs = 0.5, colour dodge by
// 2 * Cs - 1 above.
#include "composite_formulas.hpp"

namespace {
struct Channel {
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) {
        const V doubled = cs + cs;
        return select(le(cs, splat<V>(0.5f)), color_burn_channel(cb, doubled),
                      color_dodge_channel(cb, doubled - splat<V>(1.0f)));
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(vivid_light, SeparableBlend<Channel>)
