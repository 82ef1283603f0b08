// "luminosity": the source's luminosity with the backdrop's hue and saturation.
#include "composite_formulas.hpp"

namespace {
struct Pixel {
    static constexpr bool is_normal = false;
    template <typename V>
    static TARNWICK_LANES RgbLanes<V> apply(const RgbLanes<V> &cb, const RgbLanes<V> &cs) {
        return set_lum(cb, lum(cs));
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(luminosity, Pixel)
