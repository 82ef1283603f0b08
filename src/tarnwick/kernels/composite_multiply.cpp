// "multiply": Cb * Cs.
#include "composite_formulas.hpp"

namespace {
struct Channel {
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) { return cb * cs; }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(multiply, SeparableBlend<Channel>)
