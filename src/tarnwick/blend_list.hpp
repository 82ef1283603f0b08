// The 26 blend functions of the compositing model, in the order of
// tarnwick.BLENDS. Each has a kernel file kernels/composite_<blend>.cpp that
// defines composite_<blend>. The only list: CMakeLists.txt takes the kernel
// sources from these X(blend) lines and the private entry its name table,
// so keep one blend function per line.
#pragma once

#define TARNWICK_FOR_EACH_BLEND(X) \
    X(normal) \
    X(multiply) \
    X(screen) \
    X(overlay) \
    X(darken) \
    X(lighten) \
    X(color_dodge) \
    X(color_burn) \
    X(hard_light) \
    X(soft_light) \
    X(difference) \
    X(exclusion) \
    X(hue) \
    X(saturation) \
    X(color) \
    X(luminosity) \
    X(linear_dodge) \
    X(linear_burn) \
    X(subtract) \
    X(divide) \
    X(vivid_light) \
    X(linear_light) \
    X(pin_light) \
    X(hard_mix) \
    X(darker_color) \
    X(lighter_color)
