// "exclusion": Cb + Cs - 2 * Cb * Cs.
#include "composite_formulas.hpp"

namespace {
struct Channel {
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) {
        return fnmadd(cb + cb, cs, cb + cs);
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(exclusion, SeparableBlend<Channel>)
