// "lighten": the larger of Cb and Cs.
#include "composite_formulas.hpp"

namespace {
struct Channel {
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) { return pick_max(cb, cs); }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(lighten, SeparableBlend<Channel>)
