// "color_dodge": Cb brightened by Cs: Cb / (1 - Cs), with its ends fixed.
#include "composite_formulas.hpp"

namespace {
struct Channel {
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) {
        return color_dodge_channel(cb, cs);
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(color_dodge, SeparableBlend<Channel>)
