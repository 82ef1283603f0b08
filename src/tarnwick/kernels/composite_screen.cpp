// "screen": Cb + Cs - Cb * Cs.
#include "composite_formulas.hpp"

namespace {
struct Channel {
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) {
        return screen_channel(cb, cs);
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(screen, SeparableBlend<Channel>)
