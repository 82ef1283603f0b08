// "darker_color": the whole source pixel where its luminosity is below the backdrop's,
// else the backdrop's.
#include "composite_formulas.hpp"

namespace {
struct Pixel {
    static constexpr bool is_normal = false;
    template <typename V>
    static TARNWICK_LANES RgbLanes<V> apply(const RgbLanes<V> &cb, const RgbLanes<V> &cs) {
        const lane_mask_t<V> source = lt(lum(cs), lum(cb));
        return {select(source, cs.r, cb.r), select(source, cs.g, cb.g), select(source, cs.b, cb.b)};
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(darker_color, Pixel)
