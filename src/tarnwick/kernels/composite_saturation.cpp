// "saturation": the source's saturation with the backdrop's hue and luminosity.
#include "composite_formulas.hpp"

namespace {
struct Pixel {
    static constexpr bool is_normal = false;
    template <typename V>
    static TARNWICK_LANES RgbLanes<V> apply(const RgbLanes<V> &cb, const RgbLanes<V> &cs) {
        return set_lum(set_sat(cb, sat(cs)), lum(cb));
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(saturation, Pixel)
