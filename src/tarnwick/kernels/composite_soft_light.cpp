// "soft_light": up to Cs = 0.5, Cb - (1 - 2 * Cs) * Cb * (1 - Cb); above,
// Cb + (2 * Cs - 1) * (D(Cb) - Cb), D a cubic up to Cb = 0.25 and sqrt beyond.
#include "composite_formulas.hpp"

namespace {
struct Channel {
    template <typename V> static TARNWICK_LANES V mix(V cb, V cs) {
        const V one = splat<V>(1.0f);
        const V doubled = cs + cs;
        const V darker = fnmadd((one - doubled) * cb, one - cb, cb);
        const V cubic =
            mul_add(mul_add(splat<V>(16.0f), cb, splat<V>(-12.0f)), cb, splat<V>(4.0f)) * cb;
        const V d = select(le(cb, splat<V>(0.25f)), cubic, lane_sqrt(cb));
        const V lighter = mul_add(doubled - one, d - cb, cb);
        return select(le(cs, splat<V>(0.5f)), darker, lighter);
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(soft_light, SeparableBlend<Channel>)
