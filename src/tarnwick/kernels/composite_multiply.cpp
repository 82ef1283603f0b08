// "multiply": Cb * Cs.
#include "composite_formulas.hpp"

namespace {
struct Channel {
    // Premultiplied, in 255^2 units: cs * cb.
    template <typename L> static TARNWICK_LANES L term(L cb, L cs, L /*ab*/, L /*as*/) {
        return mul_u16(cs, cb);
    }
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) { return cb * cs; }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(multiply, SeparableBlend<Channel>)
