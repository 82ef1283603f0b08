// "overlay": hard light with backdrop and source exchanged.
#include "composite_formulas.hpp"

namespace {
struct Channel {
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) {
        return hard_light_channel(cs, cb);
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(overlay, SeparableBlend<Channel>)
