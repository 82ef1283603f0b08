// The front end every blend call shares: argument parsing and validation,
// the output array, and the copy used for a transparent layer.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "numpy_api.hpp"

// Everything the loops use from an input is recorded here once, when the
// input is validated: caller code that runs later (the opacity's conversion,
// the kernel's `value` getter) or another thread may reshape or retype the
// caller's array, but not move or shrink the buffer we hold a reference to.
struct BlendArray {
    PyArrayObject *array;  // owned, aligned, each row's pixels contiguous
    int32_t channels;      // 3 or 4
    int32_t is_uint8;      // 1 for uint8, else 0
    int32_t is_uint16;     // 1 for uint16 (only where the caller takes it), else 0
    const uint8_t *u8;     // data when is_uint8, else null
    const float *f32;      // data when float32, else null
    const uint16_t *u16;   // data when is_uint16, else null
    npy_intp height;
    npy_intp width;
    npy_intp row_stride;   // elements from a row to the next; 0 repeats one row
};

inline npy_intp record_elements(const BlendArray *record) {
    return record->height * record->width * record->channels;
}

struct BlendOutput {
    PyArrayObject *array;  // owned until returned to the caller
    int32_t channels;
    int32_t is_uint8;
    int32_t is_uint16;
    uint8_t *u8;
    float *f32;
    uint16_t *u16;
    npy_intp row_stride;  // elements from a row to the next, at least a row's
};

// Bytes per element of a record (an image or the output).
template <typename Record> inline size_t item_size(const Record &record) {
    return record.is_uint8 ? 1 : record.is_uint16 ? sizeof(uint16_t) : sizeof(float);
}

// The record's first byte.
template <typename Record> inline const unsigned char *bytes_of(const Record &record) {
    const void *data = record.is_uint8    ? static_cast<const void *>(record.u8)
                       : record.is_uint16 ? static_cast<const void *>(record.u16)
                                          : static_cast<const void *>(record.f32);
    return static_cast<const unsigned char *>(data);
}

// The NumPy type number of a record's elements.
template <typename Record> inline int type_of(const Record &record) {
    return record.is_uint8 ? NPY_UBYTE : record.is_uint16 ? NPY_USHORT : NPY_FLOAT;
}

template <typename Record> inline const char *type_name_of(const Record &record) {
    return record.is_uint8 ? "uint8" : record.is_uint16 ? "uint16" : "float32";
}

// Whether the rows of an image `width` pixels wide lie one after another,
// so that the image is one run of pixels.
inline bool rows_adjoin(npy_intp row_stride, npy_intp height, npy_intp width, int32_t channels) {
    return height <= 1 || row_stride == width * channels;
}

// Moves an image's or the output's data pointer on by `rows` rows.
template <typename Record>
inline void step_rows(Record *record, npy_intp rows) {
    const npy_intp by = rows * record->row_stride;
    if (record->is_uint8) {
        record->u8 += by;
    } else if (record->is_uint16) {
        record->u16 += by;
    } else {
        record->f32 += by;
    }
}

inline constexpr const char *k_msg_dtype = "inputs must be uint8 or float32 numpy arrays";
inline constexpr const char *k_msg_dtype_uint16 =
    "inputs must be uint8, uint16 or float32 numpy arrays";
inline constexpr const char *k_msg_channels = "inputs must have 3 or 4 channels";
inline constexpr const char *k_msg_shape =
    "background and foreground must match in height and width";
inline constexpr const char *k_msg_kernel = "kernel must be a string or KernelKind";
inline constexpr const char *k_msg_opacity = "opacity must be a finite number";

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

// Whether the pixels of each row lie contiguously and rows follow at a
// non-negative whole number of elements (0 for a row repeated, as NumPy's
// broadcasting gives): the layout the loops read without a copy. `rows_apart`
// also demands that rows do not overlap, as an output's must not.
inline bool rows_readable(PyArrayObject *array, bool rows_apart) {
    const PyArray_Descr *descr = PyArray_DESCR(array);
    if (PyArray_NDIM(array) != 3 || !PyArray_ISNBO(descr->byteorder) ||
        !PyArray_ISALIGNED(array)) {
        return false;
    }
    const npy_intp item = PyArray_ITEMSIZE(array);
    const npy_intp *dims = PyArray_DIMS(array);
    const npy_intp *strides = PyArray_STRIDES(array);
    const npy_intp row_bytes = dims[1] * dims[2] * item;
    return strides[2] == item && (dims[1] <= 1 || strides[1] == dims[2] * item) &&
           (dims[0] <= 1 || (strides[0] >= (rows_apart ? row_bytes : 0) && strides[0] % item == 0));
}

// Elements from one row to the next of an array that rows_readable accepts.
inline npy_intp row_stride_of(PyArrayObject *array) {
    const npy_intp *dims = PyArray_DIMS(array);
    if (dims[0] <= 1) {
        return dims[1] * dims[2];
    }
    return PyArray_STRIDES(array)[0] / PyArray_ITEMSIZE(array);
}

// A view of rows (a region of a larger image, a broadcast row) is taken as
// it is; any other layout becomes a C-contiguous copy.
inline PyArrayObject *to_image_array(PyObject *obj) {
    if (PyArray_Check(obj)) {
        PyArrayObject *array = reinterpret_cast<PyArrayObject *>(obj);
        const int type = PyArray_DESCR(array)->type_num;
        if ((type == NPY_UBYTE || type == NPY_USHORT || type == NPY_FLOAT) &&
            rows_readable(array, false)) {
            Py_INCREF(obj);
            return array;
        }
    }
    return reinterpret_cast<PyArrayObject *>(
        PyArray_FromAny(obj, nullptr, 3, 3, NPY_ARRAY_IN_ARRAY, nullptr));
}

// What validation reads from a converted input, each field exactly once.
struct ArraySnapshot {
    int type;
    npy_intp dims[3];
    npy_intp row_stride;  // in elements
    void *data;
    bool byteswapped;
};


inline ArraySnapshot snapshot_of(PyArrayObject *array) {
    ArraySnapshot snap{};
    const PyArray_Descr *descr = PyArray_DESCR(array);
    snap.type = descr->type_num;
    snap.byteswapped = !PyArray_ISNBO(descr->byteorder);
    const npy_intp *dims = PyArray_DIMS(array);
    for (int i = 0; i < 3; ++i) {
        snap.dims[i] = dims[i];
    }
    snap.row_stride = row_stride_of(array);
    snap.data = PyArray_DATA(array);
    return snap;
}

inline bool is_supported_type(int type, bool takes_uint16) {
    return type == NPY_UBYTE || type == NPY_FLOAT || (takes_uint16 && type == NPY_USHORT);
}

inline void fill_record(BlendArray *record, const ArraySnapshot &snap) {
    record->channels = static_cast<int32_t>(snap.dims[2]);
    record->is_uint8 = snap.type == NPY_UBYTE ? 1 : 0;
    record->is_uint16 = snap.type == NPY_USHORT ? 1 : 0;
    record->u8 = record->is_uint8 ? static_cast<const uint8_t *>(snap.data) : nullptr;
    record->u16 = record->is_uint16 ? static_cast<const uint16_t *>(snap.data) : nullptr;
    record->f32 = snap.type == NPY_FLOAT ? static_cast<const float *>(snap.data) : nullptr;
    record->height = snap.dims[0];
    record->width = snap.dims[1];
    record->row_stride = snap.row_stride;
}

template <typename T> inline T byte_swapped(T value) {
    if constexpr (sizeof(T) == 2) {
        return __builtin_bswap16(value);
    } else {
        return __builtin_bswap32(value);
    }
}

// Copies `elements` elements of type T (of uint16_t's or uint32_t's size)
// from `src` to `dst`, each byte-swapped.
template <typename T, typename Bits>
inline void copy_swapped(const unsigned char *src, T *dst, npy_intp elements) {
    static_assert(sizeof(T) == sizeof(Bits), "bits of the element's size");
    for (npy_intp i = 0; i < elements; ++i) {
        Bits bits;
        std::memcpy(&bits, src + i * sizeof(Bits), sizeof(Bits));
        bits = byte_swapped(bits);
        std::memcpy(dst + i, &bits, sizeof(Bits));
    }
}

// Byte-swapped data would be read as garbage by the pixel loops, so such an
// input is replaced by a native-order copy, made from the record (not from
// the array, whose dtype caller code may have changed since).
inline bool make_native_copy(BlendArray *record) {
    if (record->is_uint8) {
        return true;  // a single byte has no order
    }
    npy_intp shape[3] = {record->height, record->width, record->channels};
    PyObject *copy =
        PyArray_New(&PyArray_Type, 3, shape, type_of(*record), nullptr, nullptr, 0, 0, nullptr);
    if (copy == nullptr) {
        return false;
    }
    void *data = PyArray_DATA(reinterpret_cast<PyArrayObject *>(copy));
    const unsigned char *src = bytes_of(*record);
    const npy_intp elements = record_elements(record);
    if (record->is_uint16) {
        uint16_t *dst = static_cast<uint16_t *>(data);
        copy_swapped<uint16_t, uint16_t>(src, dst, elements);
        record->u16 = dst;
    } else {
        float *dst = static_cast<float *>(data);
        copy_swapped<float, uint32_t>(src, dst, elements);
        record->f32 = dst;
    }
    Py_SETREF(record->array, reinterpret_cast<PyArrayObject *>(copy));
    record->row_stride = record->width * record->channels;
    return true;
}

// Replaces the pending exception by TypeError(k_msg_kernel) chained to it
// (`raise TypeError(...) from error`). Only ordinary errors are replaced: a
// KeyboardInterrupt, SystemExit or any other BaseException that is not an
// Exception, and MemoryError, propagate unchanged.
inline void raise_kernel_error() {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_TypeError, k_msg_kernel);
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
        return;
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_TypeError, k_msg_kernel);
    PyObject *error = PyErr_GetRaisedException();
#else
    PyObject *type, *cause, *traceback;
    PyErr_Fetch(&type, &cause, &traceback);
    PyErr_NormalizeException(&type, &cause, &traceback);
    if (traceback != nullptr) {
        PyException_SetTraceback(cause, traceback);
    }
    Py_DECREF(type);
    Py_XDECREF(traceback);
    PyErr_SetString(PyExc_TypeError, k_msg_kernel);
    PyObject *error_type, *error, *error_traceback;
    PyErr_Fetch(&error_type, &error, &error_traceback);
    PyErr_NormalizeException(&error_type, &error, &error_traceback);
    Py_DECREF(error_type);
    Py_XDECREF(error_traceback);
#endif
    Py_INCREF(cause);
    PyException_SetContext(error, cause);  // steals one reference
    PyException_SetCause(error, cause);    // steals the other
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(error);
#else
    PyObject *error_class = reinterpret_cast<PyObject *>(Py_TYPE(error));
    Py_INCREF(error_class);
    PyErr_Restore(error_class, error, nullptr);
#endif
}

// Returns the kernel name borrowed from `kernel_obj` (or from the new
// reference stored in *hold), or null with an exception set.
inline const char *kernel_name_of(PyObject *kernel_obj, PyObject **hold) {
    *hold = nullptr;
    if (PyUnicode_Check(kernel_obj)) {
        const char *name = PyUnicode_AsUTF8(kernel_obj);
        if (name == nullptr) {
            raise_kernel_error();
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
        raise_kernel_error();
        return nullptr;
    }
    *hold = value;
    return name;
}

// After an OverflowError: -1 for a negative `value`, 1 for a positive one,
// with the error cleared for the caller to set its own; 0 with an error set
// when the sign cannot be told.
inline int sign_of(PyObject *value) {
    PyErr_Clear();
    PyObject *zero = PyLong_FromLong(0);
    const int negative = zero != nullptr ? PyObject_RichCompareBool(value, zero, Py_LT) : -1;
    Py_XDECREF(zero);
    if (negative < 0) {
        return 0;
    }
    return negative ? -1 : 1;
}

}  // namespace blend_inputs_detail

// Returns 1 with every out-parameter filled, or 0 with an exception set and
// no reference left behind. `kernel_name` and `kernel_hold` may be null.
// uint16 images are taken only where `takes_uint16` says the caller's loops
// read them.
inline int parse_blend_inputs(PyObject *args, BlendArray *background, BlendArray *foreground,
                              float *opacity, npy_intp *height, npy_intp *width,
                              const char **kernel_name, PyObject **kernel_hold,
                              bool takes_uint16 = false) {
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
    // From here on nothing reads the arrays' metadata again.
    const ArraySnapshot bg_snap = snapshot_of(background->array);
    const ArraySnapshot fg_snap = snapshot_of(foreground->array);
    if (!is_supported_type(bg_snap.type, takes_uint16) ||
        !is_supported_type(fg_snap.type, takes_uint16)) {
        PyErr_SetString(PyExc_TypeError, takes_uint16 ? k_msg_dtype_uint16 : k_msg_dtype);
        release_blend_inputs(background, foreground);
        return 0;
    }
    const npy_intp bg_channels = bg_snap.dims[2];
    const npy_intp fg_channels = fg_snap.dims[2];
    if ((bg_channels != 3 && bg_channels != 4) || (fg_channels != 3 && fg_channels != 4)) {
        PyErr_SetString(PyExc_ValueError, k_msg_channels);
        release_blend_inputs(background, foreground);
        return 0;
    }
    if (fg_snap.dims[0] != bg_snap.dims[0] || fg_snap.dims[1] != bg_snap.dims[1]) {
        PyErr_SetString(PyExc_ValueError, k_msg_shape);
        release_blend_inputs(background, foreground);
        return 0;
    }
    fill_record(background, bg_snap);
    fill_record(foreground, fg_snap);
    *height = background->height;
    *width = background->width;

    // Caller code may run from here on.
    *opacity = 1.0f;
    if (opacity_obj != nullptr && PyUnicode_Check(opacity_obj) && kernel_obj == nullptr) {
        kernel_obj = opacity_obj;
    } else if (opacity_obj != nullptr) {
        double value = PyFloat_AsDouble(opacity_obj);
        if (value == -1.0 && PyErr_Occurred()) {
            // An integer beyond the double range: huge and positive has no
            // result (as +inf), huge and negative composites nothing (as -inf).
            const int sign = PyErr_ExceptionMatches(PyExc_OverflowError) ? sign_of(opacity_obj) : 0;
            if (sign < 0) {
                value = -HUGE_VAL;
            } else {
                if (sign > 0) {
                    PyErr_SetString(PyExc_ValueError, k_msg_opacity);
                }
                release_blend_inputs(background, foreground);
                return 0;
            }
        }
        *opacity = narrow_to_float(value);
        // NaN and +inf (also a finite value beyond float32's range) have no
        // meaningful composite; -inf is an ordinary transparent layer.
        if (std::isnan(*opacity) || *opacity == HUGE_VALF) {
            PyErr_SetString(PyExc_ValueError, k_msg_opacity);
            release_blend_inputs(background, foreground);
            return 0;
        }
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

    if ((bg_snap.byteswapped && !make_native_copy(background)) ||
        (fg_snap.byteswapped && !make_native_copy(foreground))) {
        Py_XDECREF(hold);
        release_blend_inputs(background, foreground);
        return 0;
    }

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

namespace blend_inputs_detail {

inline void fill_output(const BlendArray *background, PyArrayObject *array, void *data,
                        npy_intp row_stride, BlendOutput *output) {
    output->array = array;
    output->row_stride = row_stride;
    output->channels = background->channels;
    output->is_uint8 = background->is_uint8;
    output->is_uint16 = background->is_uint16;
    output->u8 = background->is_uint8 ? static_cast<uint8_t *>(data) : nullptr;
    output->u16 = background->is_uint16 ? static_cast<uint16_t *>(data) : nullptr;
    output->f32 = background->f32 != nullptr ? static_cast<float *>(data) : nullptr;
}

}  // namespace blend_inputs_detail

inline int alloc_output(const BlendArray *background, npy_intp height, npy_intp width,
                        BlendOutput *output) {
    npy_intp shape[3] = {height, width, background->channels};
    PyObject *array = PyArray_New(&PyArray_Type, 3, shape, type_of(*background), nullptr,
                                  nullptr, 0, 0, nullptr);
    if (array == nullptr) {
        return 0;
    }
    PyArrayObject *result = reinterpret_cast<PyArrayObject *>(array);
    blend_inputs_detail::fill_output(background, result, PyArray_DATA(result),
                                     width * background->channels, output);
    return 1;
}

// Takes the caller's `out` as the output (a new reference in output->array)
// if it holds what alloc_output would create: the background's type in
// native order, its shape, aligned and writeable, each row's pixels
// contiguous and rows apart (a region of a larger image will do). Its
// metadata is read once, after every piece of caller code of the call has
// run. Returns 0 with ValueError set otherwise.
inline int adopt_output(PyObject *out, const BlendArray *background, BlendOutput *output) {
    bool fits = PyArray_Check(out);
    void *data = nullptr;
    npy_intp row_stride = 0;
    if (fits) {
        PyArrayObject *array = reinterpret_cast<PyArrayObject *>(out);
        const PyArray_Descr *descr = PyArray_DESCR(array);
        const int ndim = PyArray_NDIM(array);
        const npy_intp *dims = PyArray_DIMS(array);
        fits = descr->type_num == type_of(*background) &&
               PyArray_ISWRITEABLE(array) && ndim == 3 && dims[0] == background->height &&
               dims[1] == background->width && dims[2] == background->channels &&
               blend_inputs_detail::rows_readable(array, true);
        data = PyArray_DATA(array);
        row_stride = fits ? blend_inputs_detail::row_stride_of(array) : 0;
    }
    if (!fits) {
        PyErr_Format(PyExc_ValueError,
                     "out must be an aligned, writeable %s array of shape (%zd, %zd, %d) "
                     "with each row's pixels contiguous",
                     type_name_of(*background),
                     static_cast<Py_ssize_t>(background->height),
                     static_cast<Py_ssize_t>(background->width),
                     static_cast<int>(background->channels));
        return 0;
    }
    Py_INCREF(out);
    blend_inputs_detail::fill_output(background, reinterpret_cast<PyArrayObject *>(out), data,
                                     row_stride, output);
    return 1;
}

// The transparent layer's result: the background's exact bytes. The output
// may be the background itself (nothing to do) or, given by a caller,
// overlap it in any other way.
inline void copy_background_into(const BlendArray *background, BlendOutput *output) {
    const size_t item = item_size(*background);
    const unsigned char *src = bytes_of(*background);
    unsigned char *dst = const_cast<unsigned char *>(bytes_of(*output));
    if (dst == src && output->row_stride == background->row_stride) {
        return;  // in place
    }
    const npy_intp row = background->width * background->channels;
    const bool whole = rows_adjoin(background->row_stride, background->height, background->width,
                                   background->channels) &&
                       rows_adjoin(output->row_stride, background->height, background->width,
                                   background->channels);
    const npy_intp runs = whole ? 1 : background->height;
    const npy_intp run = whole ? record_elements(background) : row;
    for (npy_intp r = 0; r < runs && run > 0; ++r) {
        std::memmove(dst + static_cast<size_t>(r * output->row_stride) * item,
                     src + static_cast<size_t>(r * background->row_stride) * item,
                     static_cast<size_t>(run) * item);
    }
}

inline int copy_background(const BlendArray *background, BlendOutput *output, npy_intp height,
                           npy_intp width) {
    if (!alloc_output(background, height, width, output)) {
        return 0;
    }
    copy_background_into(background, output);
    return 1;
}
