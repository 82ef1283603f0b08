// "color_burn": Cb darkened by Cs: 1 - (1 - Cb) / Cs, with its ends fixed.
#include "composite_formulas.hpp"

namespace {
struct Channel {
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) {
        return color_burn_channel(cb, cs);
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(color_burn, SeparableBlend<Channel>)
