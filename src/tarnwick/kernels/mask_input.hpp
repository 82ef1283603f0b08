// A layer mask: one weight per pixel, uint8 or float32 on the 0..255 scale,
// that multiplies the layer's alpha inside the compositors. Read once when
// validated, like the images (see BlendArray).
#pragma once

#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "numpy_api.hpp"

struct BlendMask {
    PyArrayObject *array;  // owned, aligned, native order, rows contiguous; null: no mask
    const uint8_t *u8;     // data when the mask is uint8, else null
    const float *f32;      // data when the mask is float32, else null
    npy_intp row_stride;   // values from a row to the next; 0 repeats one row
};

// Moves the mask's data pointer on by `rows` rows.
inline void step_rows(BlendMask *mask, npy_intp rows) {
    const npy_intp by = rows * mask->row_stride;
    if (mask->u8 != nullptr) {
        mask->u8 += by;
    } else if (mask->f32 != nullptr) {
        mask->f32 += by;
    }
}

inline bool has_mask(const BlendMask &mask) { return mask.array != nullptr; }

inline void release_blend_mask(BlendMask *mask) {
    Py_CLEAR(mask->array);
    mask->u8 = nullptr;
    mask->f32 = nullptr;
}

inline constexpr const char *k_msg_mask_type = "mask must be a uint8 or float32 array";
inline constexpr const char *k_msg_mask_size = "mask must have one value per pixel";

namespace mask_input_detail {

// Elements from a row to the next when `array` is a (height, width) or
// (height, width, 1) view whose rows hold their values contiguously (a
// region of a larger mask, a broadcast row), else -1.
inline npy_intp view_row_stride(PyArrayObject *array, npy_intp height, npy_intp width) {
    const int ndim = PyArray_NDIM(array);
    const npy_intp *dims = PyArray_DIMS(array);
    const npy_intp *strides = PyArray_STRIDES(array);
    const int type = PyArray_DESCR(array)->type_num;
    if ((type != NPY_UBYTE && type != NPY_FLOAT) || !PyArray_ISNBO(PyArray_DESCR(array)->byteorder) ||
        !PyArray_ISALIGNED(array) || (ndim != 2 && ndim != 3) || dims[0] != height ||
        dims[1] != width || (ndim == 3 && dims[2] != 1)) {
        return -1;
    }
    const npy_intp item = PyArray_ITEMSIZE(array);
    if (width > 1 && strides[1] != item) {
        return -1;
    }
    if (height <= 1) {
        return width;
    }
    return strides[0] >= 0 && strides[0] % item == 0 ? strides[0] / item : -1;
}

}  // namespace mask_input_detail

// `obj` is None (no mask), a (height, width[, 1]) view whose rows hold their
// values contiguously, or an array of any shape holding exactly
// height × width values in order. Returns 1 with *mask filled (an empty
// record for None), or 0 with an exception set and nothing held.
inline int parse_blend_mask(PyObject *obj, npy_intp height, npy_intp width, BlendMask *mask) {
    *mask = BlendMask{};
    if (obj == nullptr || obj == Py_None) {
        return 1;
    }
    const npy_intp pixels = height * width;
    npy_intp row_stride = -1;
    PyArrayObject *array = nullptr;
    if (PyArray_Check(obj)) {
        row_stride = mask_input_detail::view_row_stride(reinterpret_cast<PyArrayObject *>(obj),
                                                        height, width);
    }
    if (row_stride >= 0) {
        Py_INCREF(obj);
        array = reinterpret_cast<PyArrayObject *>(obj);
    } else {
        row_stride = width;
        array = reinterpret_cast<PyArrayObject *>(
            PyArray_FromAny(obj, nullptr, 0, 0, NPY_ARRAY_IN_ARRAY, nullptr));
    }
    if (array == nullptr) {
        return 0;
    }
    const PyArray_Descr *descr = PyArray_DESCR(array);
    const int type = descr->type_num;
    const bool byteswapped = !PyArray_ISNBO(descr->byteorder);
    const npy_intp size = PyArray_SIZE(array);
    void *data = PyArray_DATA(array);
    if (type != NPY_UBYTE && type != NPY_FLOAT) {
        Py_DECREF(array);
        PyErr_SetString(PyExc_TypeError, k_msg_mask_type);
        return 0;
    }
    if (size != pixels) {
        Py_DECREF(array);
        PyErr_SetString(PyExc_ValueError, k_msg_mask_size);
        return 0;
    }
    if (type == NPY_FLOAT && byteswapped) {
        // A native-order copy, made from what was read above.
        npy_intp shape[1] = {pixels};
        PyObject *copy =
            PyArray_New(&PyArray_Type, 1, shape, NPY_FLOAT, nullptr, nullptr, 0, 0, nullptr);
        if (copy == nullptr) {
            Py_DECREF(array);
            return 0;
        }
        float *dst = static_cast<float *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(copy)));
        const unsigned char *src = static_cast<const unsigned char *>(data);
        for (npy_intp i = 0; i < pixels; ++i) {
            uint32_t bits;
            std::memcpy(&bits, src + i * 4, 4);
            bits = __builtin_bswap32(bits);
            std::memcpy(dst + i, &bits, 4);
        }
        Py_SETREF(array, reinterpret_cast<PyArrayObject *>(copy));
        data = dst;
    }
    mask->array = array;
    mask->row_stride = row_stride;
    mask->u8 = type == NPY_UBYTE ? static_cast<const uint8_t *>(data) : nullptr;
    mask->f32 = type == NPY_FLOAT ? static_cast<const float *>(data) : nullptr;
    return 1;
}

// The weight of one pixel on 0..1: a byte divided by 255 (as the scalar
// channel reads divide), a float divided by 255 and clamped; NaN weighs 0.
inline float mask_weight(const uint8_t *mask, npy_intp pixel) {
    return static_cast<float>(mask[pixel]) / 255.0f;
}
inline float mask_weight(const float *mask, npy_intp pixel) {
    const float w = mask[pixel] / 255.0f;
    return w > 0.0f ? (w < 1.0f ? w : 1.0f) : 0.0f;  // NaN fails the first test
}
inline float mask_weight(const BlendMask &mask, npy_intp pixel) {
    return mask.u8 != nullptr ? mask_weight(mask.u8, pixel) : mask_weight(mask.f32, pixel);
}

// The weights of pixels pixel .. pixel + lanes - 1 in V's lanes, each equal
// to the scalar mask_weight (a true division, as there). Reads exactly the
// lanes' own mask values.
template <typename V> inline V load_mask_weights(const uint8_t *mask, npy_intp pixel);
template <typename V> inline V load_mask_weights(const float *mask, npy_intp pixel);

template <> inline float load_mask_weights<float>(const uint8_t *mask, npy_intp pixel) {
    return mask_weight(mask, pixel);
}
template <> inline float load_mask_weights<float>(const float *mask, npy_intp pixel) {
    return mask_weight(mask, pixel);
}

#ifdef __AVX2__
template <> inline __m128 load_mask_weights<__m128>(const uint8_t *mask, npy_intp pixel) {
    int32_t bytes;
    std::memcpy(&bytes, mask + pixel, 4);
    const __m128i values = _mm_cvtepu8_epi32(_mm_cvtsi32_si128(bytes));
    return _mm_div_ps(_mm_cvtepi32_ps(values), _mm_set1_ps(255.0f));
}
template <> inline __m256 load_mask_weights<__m256>(const uint8_t *mask, npy_intp pixel) {
    int64_t bytes;
    std::memcpy(&bytes, mask + pixel, 8);
    const __m256i values = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(bytes));
    return _mm256_div_ps(_mm256_cvtepi32_ps(values), _mm256_set1_ps(255.0f));
}
// The maximum comes first and returns its second operand (0) for NaN.
template <> inline __m128 load_mask_weights<__m128>(const float *mask, npy_intp pixel) {
    const __m128 w = _mm_div_ps(_mm_loadu_ps(mask + pixel), _mm_set1_ps(255.0f));
    return _mm_min_ps(_mm_max_ps(w, _mm_setzero_ps()), _mm_set1_ps(1.0f));
}
template <> inline __m256 load_mask_weights<__m256>(const float *mask, npy_intp pixel) {
    const __m256 w = _mm256_div_ps(_mm256_loadu_ps(mask + pixel), _mm256_set1_ps(255.0f));
    return _mm256_min_ps(_mm256_max_ps(w, _mm256_setzero_ps()), _mm256_set1_ps(1.0f));
}
#endif

// The weights of pixels pixel .. pixel + lane_count<V> - 1, whichever the
// mask's element type; one predictable branch per group.
template <typename V>
__attribute__((always_inline)) inline V mask_weights(const BlendMask &mask, npy_intp pixel) {
    return mask.u8 != nullptr ? load_mask_weights<V>(mask.u8, pixel)
                              : load_mask_weights<V>(mask.f32, pixel);
}

// Bit i set where lane i of `w` equals `value` exactly.
inline int lanes_equal(float w, float value) { return w == value ? 1 : 0; }
#ifdef __AVX2__
inline int lanes_equal(__m128 w, float value) {
    return _mm_movemask_ps(_mm_cmp_ps(w, _mm_set1_ps(value), _CMP_EQ_OQ));
}
inline int lanes_equal(__m256 w, float value) {
    return _mm256_movemask_ps(_mm256_cmp_ps(w, _mm256_set1_ps(value), _CMP_EQ_OQ));
}
#endif

// One group of `lanes` pixels at `index` under a mask: `group()` computes
// and stores all of them, and every pixel the mask hides (bit set in
// `hidden`) then gets the background's stored values back exactly (the
// round trip through unit values is not exact for float32), also when the
// output is the background itself. A wholly hidden group is only copied.
// Always inlined, so that the kernel pointers `group` calls stay constants.
template <int lanes, typename T, typename Group>
__attribute__((always_inline)) inline void keep_hidden_pixels(const T *bg, T *out, int channels, npy_intp index, int hidden,
                               Group &&group) {
    const npy_intp base = index * channels;
    const size_t pixel_bytes = static_cast<size_t>(channels) * sizeof(T);
    if (hidden == (1 << lanes) - 1) {
        std::memmove(out + base, bg + base, lanes * pixel_bytes);
        return;
    }
    if (hidden == 0) {
        group();
        return;
    }
    T saved[lanes * 4];
    std::memcpy(saved, bg + base, lanes * pixel_bytes);
    group();
    for (int lane = 0; lane < lanes; ++lane) {
        if ((hidden >> lane) & 1) {
            std::memcpy(out + base + lane * channels, saved + lane * channels, pixel_bytes);
        }
    }
}
