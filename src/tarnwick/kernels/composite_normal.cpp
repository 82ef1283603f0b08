// "normal": the source as it is; the compositor knows it and skips the mix.
#include "composite_formulas.hpp"

namespace {
struct Normal {
    static constexpr bool is_normal = true;
    template <typename V>
    static TARNWICK_LANES RgbLanes<V> apply(const RgbLanes<V> &, const RgbLanes<V> &cs) {
        return cs;
    }
};
}  // namespace

TARNWICK_COMPOSITE_KERNEL(normal, Normal)
