// The 28 blend modes, in the order of the module's method table. Each has an
// entry function blend_<mode> defined in kernels/<mode>.cpp. The only list:
// CMakeLists.txt takes the kernel sources from these X(mode) lines, so keep
// one mode per line.
#pragma once

#define TARNWICK_FOR_EACH_MODE(X) \
    X(normal) \
    X(soft_light) \
    X(lighten_only) \
    X(screen) \
    X(dodge) \
    X(addition) \
    X(darken_only) \
    X(multiply) \
    X(hard_light) \
    X(difference) \
    X(subtract) \
    X(grain_extract) \
    X(grain_merge) \
    X(divide) \
    X(overlay) \
    X(hsv_hue) \
    X(hsv_saturation) \
    X(hsv_value) \
    X(hsl_color) \
    X(lch_hue) \
    X(lch_chroma) \
    X(lch_color) \
    X(lch_lightness) \
    X(burn) \
    X(linear_burn) \
    X(exclusion) \
    X(vivid_light) \
    X(pin_light)
