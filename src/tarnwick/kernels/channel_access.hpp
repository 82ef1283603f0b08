// One channel value at a time between the stored 0..255 scale and unit
// values; the reference conversions of every scalar loop and tail.
#pragma once

#include <cmath>
#include <cstdint>

#include "blend_inputs.hpp"
#include "unit_clamp.hpp"

// A true division, not a multiplication by a rounded reciprocal: the scalar
// path is the reference the vector paths are measured against.
inline float read_channel_u8(const uint8_t *data, npy_intp index) {
    return static_cast<float>(data[index]) / 255.0f;
}

inline float read_channel_f32(const float *data, npy_intp index) {
    return data[index] / 255.0f;
}

inline float read_channel(const BlendArray *array, npy_intp index) {
    return array->is_uint8 ? read_channel_u8(array->u8, index)
                           : read_channel_f32(array->f32, index);
}

// Clamp after scaling, then round half away from zero. NaN stores 0, as
// every vector byte pack does.
inline void write_channel_u8(uint8_t *data, npy_intp index, float value) {
    float scaled = value * 255.0f;
    if (scaled < 0.0f) {
        scaled = 0.0f;
    } else if (scaled > 255.0f) {
        scaled = 255.0f;
    } else if (scaled != scaled) {
        scaled = 0.0f;
    }
    data[index] = static_cast<uint8_t>(std::lroundf(scaled));
}

inline void write_channel_f32(float *data, npy_intp index, float value) {
    data[index] = value * 255.0f;
}

inline void write_channel(BlendOutput *output, npy_intp index, float value) {
    if (output->is_uint8) {
        write_channel_u8(output->u8, index, value);
    } else {
        write_channel_f32(output->f32, index, value);
    }
}

// Element-type dispatch for loops written once over both types.
inline float read_unit(const uint8_t *data, npy_intp index) { return read_channel_u8(data, index); }
inline float read_unit(const float *data, npy_intp index) { return read_channel_f32(data, index); }
inline void write_unit(uint8_t *data, npy_intp index, float value) {
    write_channel_u8(data, index, value);
}
inline void write_unit(float *data, npy_intp index, float value) {
    write_channel_f32(data, index, value);
}

// The alpha of the pixel whose first channel is at `base`; an image without
// an alpha channel is fully opaque.
template <typename T>
inline float read_alpha(const T *data, int channels, npy_intp base) {
    return channels == 4 ? read_unit(data, base + 3) : 1.0f;
}

inline int ptr_is_aligned(const void *ptr, uintptr_t alignment) {
    return (reinterpret_cast<uintptr_t>(ptr) & (alignment - 1)) == 0 ? 1 : 0;
}

// Calls body(bg_data, fg_data, out_data) with the typed data pointers of the
// call's element-type combination, so a loop is written once for all four.
// Always inlined, so that what `body` captures stays visible to the caller.
template <typename Body>
__attribute__((always_inline)) inline void with_typed_data(const BlendArray *background,
                                                           const BlendArray *foreground,
                                                           BlendOutput *output, Body &&body) {
    if (background->is_uint8) {
        if (foreground->is_uint8) {
            body(background->u8, foreground->u8, output->u8);
        } else {
            body(background->u8, foreground->f32, output->u8);
        }
    } else {
        if (foreground->is_uint8) {
            body(background->f32, foreground->u8, output->f32);
        } else {
            body(background->f32, foreground->f32, output->f32);
        }
    }
}
