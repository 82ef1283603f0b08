// The front end every blend call shares: argument parsing and validation,
// the output array, and the copy used for a transparent layer.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "numpy_api.hpp"

struct BlendArray {
    PyArrayObject *array;  // owned, C-contiguous, aligned, native byte order
    int32_t channels;      // 3 or 4
    int32_t is_uint8;      // 1 for uint8, 0 for float32
    const uint8_t *u8;     // data when is_uint8, else null
    const float *f32;      // data when !is_uint8, else null
};

struct BlendOutput {
    PyArrayObject *array;  // owned until returned to the caller
    int32_t channels;
    int32_t is_uint8;
    uint8_t *u8;
    float *f32;
};

inline constexpr const char *k_msg_dtype = "inputs must be uint8 or float32 numpy arrays";
inline constexpr const char *k_msg_channels = "inputs must have 3 or 4 channels";
inline constexpr const char *k_msg_shape =
    "background and foreground must match in height and width";
inline constexpr const char *k_msg_kernel = "kernel must be a string or KernelKind";

// Round-to-nearest narrowing of the opacity; out-of-range values become
// infinities instead of the undefined behaviour of a plain cast.
inline float narrow_to_float(double value) {
    if (std::isfinite(value) && std::fabs(value) > static_cast<double>(FLT_MAX)) {
        // Values within half an ulp of FLT_MAX still round to it.
        const double limit = static_cast<double>(FLT_MAX) + std::ldexp(1.0, 103);
        const float mag = std::fabs(value) < limit ? FLT_MAX : HUGE_VALF;
        return value < 0 ? -mag : mag;
    }
    return static_cast<float>(value);
}

inline void release_blend_inputs(BlendArray *background, BlendArray *foreground) {
    Py_CLEAR(background->array);
    Py_CLEAR(foreground->array);
}

namespace blend_inputs_detail {

inline PyArrayObject *to_image_array(PyObject *obj) {
    return reinterpret_cast<PyArrayObject *>(
        PyArray_FromAny(obj, nullptr, 3, 3, NPY_ARRAY_IN_ARRAY, nullptr));
}

inline bool is_supported_type(PyArrayObject *array) {
    const int type = PyArray_TYPE(array);
    return type == NPY_UBYTE || type == NPY_FLOAT;
}

// Byte-swapped float32 data would be read as garbage by the pixel loops, so
// such an input is replaced by a native-order copy. Steals `*array` on success.
inline bool ensure_native_order(PyArrayObject **array) {
    if (!PyArray_ISBYTESWAPPED(*array)) {
        return true;
    }
    PyArray_Descr *native = PyArray_DescrFromType(PyArray_TYPE(*array));
    if (native == nullptr) {
        return false;
    }
    PyObject *copy = PyArray_FromAny(reinterpret_cast<PyObject *>(*array), native, 3, 3,
                                     NPY_ARRAY_IN_ARRAY | NPY_ARRAY_ENSURECOPY, nullptr);
    if (copy == nullptr) {
        return false;
    }
    Py_SETREF(*array, reinterpret_cast<PyArrayObject *>(copy));
    return true;
}

inline void fill_record(BlendArray *record) {
    record->channels = static_cast<int32_t>(PyArray_DIM(record->array, 2));
    record->is_uint8 = PyArray_TYPE(record->array) == NPY_UBYTE ? 1 : 0;
    void *data = PyArray_DATA(record->array);
    record->u8 = record->is_uint8 ? static_cast<const uint8_t *>(data) : nullptr;
    record->f32 = record->is_uint8 ? nullptr : static_cast<const float *>(data);
}

// Returns the kernel name borrowed from `kernel_obj` (or from the new
// reference stored in *hold), or null with TypeError set.
inline const char *kernel_name_of(PyObject *kernel_obj, PyObject **hold) {
    *hold = nullptr;
    if (PyUnicode_Check(kernel_obj)) {
        const char *name = PyUnicode_AsUTF8(kernel_obj);
        if (name == nullptr) {
            PyErr_SetString(PyExc_TypeError, k_msg_kernel);
        }
        return name;
    }
    PyObject *value = PyObject_GetAttrString(kernel_obj, "value");
    const char *name = nullptr;
    if (value != nullptr && PyUnicode_Check(value)) {
        name = PyUnicode_AsUTF8(value);
    }
    if (name == nullptr) {
        Py_XDECREF(value);
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, k_msg_kernel);
        return nullptr;
    }
    *hold = value;
    return name;
}

}  // namespace blend_inputs_detail

// Returns 1 with every out-parameter filled, or 0 with an exception set and
// no reference left behind. `kernel_name` and `kernel_hold` may be null.
inline int parse_blend_inputs(PyObject *args, BlendArray *background, BlendArray *foreground,
                              float *opacity, npy_intp *height, npy_intp *width,
                              const char **kernel_name, PyObject **kernel_hold) {
    using namespace blend_inputs_detail;
    PyObject *background_obj = nullptr;
    PyObject *foreground_obj = nullptr;
    PyObject *opacity_obj = nullptr;
    PyObject *kernel_obj = nullptr;
    *background = BlendArray{};
    *foreground = BlendArray{};
    if (!PyArg_ParseTuple(args, "OO|OO", &background_obj, &foreground_obj, &opacity_obj,
                          &kernel_obj)) {
        return 0;
    }
    background->array = to_image_array(background_obj);
    if (background->array == nullptr) {
        return 0;
    }
    foreground->array = to_image_array(foreground_obj);
    if (foreground->array == nullptr) {
        release_blend_inputs(background, foreground);
        return 0;
    }
    if (!is_supported_type(background->array) || !is_supported_type(foreground->array)) {
        PyErr_SetString(PyExc_TypeError, k_msg_dtype);
        release_blend_inputs(background, foreground);
        return 0;
    }
    const npy_intp bg_channels = PyArray_DIM(background->array, 2);
    const npy_intp fg_channels = PyArray_DIM(foreground->array, 2);
    if ((bg_channels != 3 && bg_channels != 4) || (fg_channels != 3 && fg_channels != 4)) {
        PyErr_SetString(PyExc_ValueError, k_msg_channels);
        release_blend_inputs(background, foreground);
        return 0;
    }
    *height = PyArray_DIM(background->array, 0);
    *width = PyArray_DIM(background->array, 1);
    if (PyArray_DIM(foreground->array, 0) != *height ||
        PyArray_DIM(foreground->array, 1) != *width) {
        PyErr_SetString(PyExc_ValueError, k_msg_shape);
        release_blend_inputs(background, foreground);
        return 0;
    }

    *opacity = 1.0f;
    if (opacity_obj != nullptr && PyUnicode_Check(opacity_obj) && kernel_obj == nullptr) {
        kernel_obj = opacity_obj;
    } else if (opacity_obj != nullptr) {
        const double value = PyFloat_AsDouble(opacity_obj);
        if (PyErr_Occurred()) {
            release_blend_inputs(background, foreground);
            return 0;
        }
        *opacity = narrow_to_float(value);
    }

    const char *name = nullptr;
    PyObject *hold = nullptr;
    if (kernel_obj != nullptr) {
        name = kernel_name_of(kernel_obj, &hold);
        if (name == nullptr) {
            release_blend_inputs(background, foreground);
            return 0;
        }
    }

    if (!ensure_native_order(&background->array) || !ensure_native_order(&foreground->array)) {
        Py_XDECREF(hold);
        release_blend_inputs(background, foreground);
        return 0;
    }
    fill_record(background);
    fill_record(foreground);

    if (kernel_hold != nullptr && kernel_name != nullptr) {
        *kernel_name = name;
        *kernel_hold = hold;
    } else {
        if (kernel_name != nullptr) {
            // Without a hold only a name borrowed from the argument tuple survives.
            *kernel_name = hold == nullptr ? name : nullptr;
        }
        if (kernel_hold != nullptr) {
            *kernel_hold = hold;
        } else {
            Py_XDECREF(hold);
        }
    }
    return 1;
}

inline int alloc_output(const BlendArray *background, npy_intp height, npy_intp width,
                        BlendOutput *output) {
    npy_intp shape[3] = {height, width, background->channels};
    PyObject *array = PyArray_New(&PyArray_Type, 3, shape,
                                  background->is_uint8 ? NPY_UBYTE : NPY_FLOAT, nullptr,
                                  nullptr, 0, 0, nullptr);
    if (array == nullptr) {
        return 0;
    }
    output->array = reinterpret_cast<PyArrayObject *>(array);
    output->channels = background->channels;
    output->is_uint8 = background->is_uint8;
    void *data = PyArray_DATA(output->array);
    output->u8 = background->is_uint8 ? static_cast<uint8_t *>(data) : nullptr;
    output->f32 = background->is_uint8 ? nullptr : static_cast<float *>(data);
    return 1;
}

inline int copy_background(const BlendArray *background, BlendOutput *output, npy_intp height,
                           npy_intp width) {
    if (!alloc_output(background, height, width, output)) {
        return 0;
    }
    const npy_intp elements = height * width * background->channels;
    if (elements > 0) {
        const void *src = background->is_uint8 ? static_cast<const void *>(background->u8)
                                               : static_cast<const void *>(background->f32);
        void *dst = output->is_uint8 ? static_cast<void *>(output->u8)
                                     : static_cast<void *>(output->f32);
        const size_t item = background->is_uint8 ? 1 : sizeof(float);
        std::memcpy(dst, src, static_cast<size_t>(elements) * item);
    }
    return 1;
}
