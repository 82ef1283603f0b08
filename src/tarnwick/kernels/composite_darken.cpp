// "darken": the smaller of Cb and Cs.
#include "composite_formulas.hpp"

namespace {
struct Channel {
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) { return pick_min(cb, cs); }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(darken, SeparableBlend<Channel>)
