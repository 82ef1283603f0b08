// "color": the source's hue and saturation with the backdrop's luminosity.
#include "composite_formulas.hpp"

namespace {
struct Pixel {
    static constexpr bool is_normal = false;
    template <typename V>
    static TARNWICK_LANES RgbLanes<V> apply(const RgbLanes<V> &cb, const RgbLanes<V> &cs) {
        return set_lum(cs, lum(cb));
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(color, Pixel)
