// The _tarnwick module: method table, start-up and kernel_available.
//
// This file is compiled without AVX2 code generation: it must be able to run
// on any x86-64 processor long enough to refuse one that lacks AVX2 or FMA.
#define TARNWICK_DEFINE_ARRAY_API
#include "numpy_api.hpp"
#include "kernel_select.hpp"
#include "blend_target.hpp"
#include "composite_call.hpp"
#include "mode_list.hpp"
#include "row_runs.hpp"

#include <algorithm>
#include <cfloat>
#include <utility>
#include <cstring>

#define TARNWICK_BLEND_ENTRY(name) \
    extern "C" PyObject *blend_##name(PyObject *self, PyObject *args);
TARNWICK_FOR_EACH_MODE(TARNWICK_BLEND_ENTRY)
#undef TARNWICK_BLEND_ENTRY

namespace {

constexpr const char *k_blend_doc = "Blend (background, foreground, opacity).";

// Kept local (not shared with the kernel files, which are built for AVX2) so
// that this check never runs an AVX2 instruction.
bool processor_has_avx2_fma() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

PyObject *kernel_available(PyObject *, PyObject *args) {
    const char *name = nullptr;
    if (!PyArg_ParseTuple(args, "s", &name)) {
        return nullptr;
    }
    if (std::strcmp(name, "scalar") == 0 || std::strcmp(name, "auto") == 0) {
        Py_RETURN_TRUE;
    }
    if (std::strcmp(name, "sse42") == 0) {
        return PyBool_FromLong(cpu_supports_sse42());
    }
    if (std::strcmp(name, "avx2") == 0) {
        return PyBool_FromLong(cpu_supports_avx2());
    }
    PyErr_SetString(PyExc_ValueError, "unknown kernel kind");
    return nullptr;
}

struct ModeEntry {
    const char *name;
    PyObject *(*blend)(PyObject *self, PyObject *args);
};

#define TARNWICK_MODE_ENTRY(name) {#name, blend_##name},
const ModeEntry mode_entries[] = {TARNWICK_FOR_EACH_MODE(TARNWICK_MODE_ENTRY)};
#undef TARNWICK_MODE_ENTRY

// _blend_into(mode, background, foreground, opacity, kernel, out, mask=None,
// float_scale=255.0) -> out: the blend function `mode` with its inputs
// checked exactly as the public call checks them, writing into the caller's
// `out` instead of a new array; `mask` (one uint8 or float32 value per
// pixel) scales the layer's alpha. Unlike the public call it also takes
// uint16 images, and float images on 0..`float_scale`.
PyObject *blend_into(PyObject *, PyObject *args) {
    PyObject *mode = nullptr;
    PyObject *background = nullptr;
    PyObject *foreground = nullptr;
    PyObject *opacity = nullptr;
    PyObject *kernel = nullptr;
    PyObject *out = nullptr;
    PyObject *mask = nullptr;
    double float_scale = 255.0;
    if (!PyArg_ParseTuple(args, "OOOOOO|Od:_blend_into", &mode, &background, &foreground,
                          &opacity, &kernel, &out, &mask, &float_scale)) {
        return nullptr;
    }
    // The loops scale by 255 / float_scale and back by float_scale / 255 in
    // float32: both must be finite and nonzero there.
    if (!(float_scale > 0.0) || !std::isfinite(float_scale) ||
        !std::isfinite(static_cast<float>(255.0 / float_scale)) ||
        static_cast<float>(255.0 / float_scale) == 0.0f ||
        !std::isfinite(static_cast<float>(float_scale / 255.0))) {
        PyErr_SetString(PyExc_ValueError, "float_scale must be a positive finite number");
        return nullptr;
    }
    if (!PyUnicode_Check(mode)) {
        PyErr_SetString(PyExc_TypeError, "mode must be a str");
        return nullptr;
    }
    const ModeEntry *entry = nullptr;
    for (const ModeEntry &candidate : mode_entries) {
        // Compares the whole string: an embedded NUL does not match.
        if (PyUnicode_CompareWithASCIIString(mode, candidate.name) == 0) {
            entry = &candidate;
            break;
        }
    }
    if (entry == nullptr) {
        PyErr_SetString(PyExc_ValueError, "unknown blend mode");
        return nullptr;
    }
    BlendTarget target{out, mask, float_scale};
    PyObject *self = PyCapsule_New(&target, k_blend_target_capsule, nullptr);
    if (self == nullptr) {
        return nullptr;
    }
    PyObject *inputs = PyTuple_Pack(4, background, foreground, opacity, kernel);
    PyObject *result = inputs != nullptr ? entry->blend(self, inputs) : nullptr;
    Py_XDECREF(inputs);
    Py_DECREF(self);
    return result;
}

struct BlendFunctionEntry {
    const char *name;
    composite_kernel_fn kernel;
};

#define TARNWICK_BLEND_FUNCTION_ENTRY(name) {#name, composite_##name},
const BlendFunctionEntry blend_function_entries[] = {
    TARNWICK_FOR_EACH_BLEND(TARNWICK_BLEND_FUNCTION_ENTRY)};
#undef TARNWICK_BLEND_FUNCTION_ENTRY

// The entry of `table` whose name is the str `name`, or null. Compares the
// whole string: an embedded NUL does not match.
template <typename Entry, size_t count>
const Entry *find_named(const Entry (&table)[count], PyObject *name) {
    for (const Entry &candidate : table) {
        if (PyUnicode_CompareWithASCIIString(name, candidate.name) == 0) {
            return &candidate;
        }
    }
    return nullptr;
}

// _composite_into(blend, operator, premultiplied, backdrop, source, opacity,
// kernel, out, mask[, float_scale]) -> out: the compositing model, every
// argument checked before a pixel of `out` is written. float_scale is what
// 1 is on a float32 image (255 unless given); uint16 images (both or
// neither) are on 0..65535. With `linear` true, straight uint8 images are
// composited in linear light: colours decoded and encoded by the sRGB tables.
PyObject *composite_into(PyObject *, PyObject *args) {
    PyObject *blend = nullptr;
    PyObject *op_name = nullptr;
    PyObject *premultiplied = nullptr;
    PyObject *backdrop = nullptr;
    PyObject *source = nullptr;
    PyObject *opacity = nullptr;
    PyObject *kernel = nullptr;
    PyObject *out = nullptr;
    PyObject *mask = nullptr;
    float float_scale = 255.0f;
    int linear = 0;
    if (!PyArg_ParseTuple(args, "OOOOOOOOO|fp:_composite_into", &blend, &op_name, &premultiplied,
                          &backdrop, &source, &opacity, &kernel, &out, &mask, &float_scale,
                          &linear)) {
        return nullptr;
    }
    // NaN fails the test too.
    if (!(float_scale > 0.0f && float_scale <= FLT_MAX)) {
        PyErr_SetString(PyExc_ValueError, "float_scale must be a positive finite number");
        return nullptr;
    }
    if (!PyUnicode_Check(blend)) {
        PyErr_SetString(PyExc_TypeError, "blend must be a str");
        return nullptr;
    }
    const BlendFunctionEntry *entry = find_named(blend_function_entries, blend);
    if (entry == nullptr) {
        PyErr_SetString(PyExc_ValueError, "unknown blend function");
        return nullptr;
    }
    if (!PyUnicode_Check(op_name)) {
        PyErr_SetString(PyExc_TypeError, "operator must be a str");
        return nullptr;
    }
    const CompositeOperator *op = find_named(k_composite_operators, op_name);
    if (op == nullptr) {
        PyErr_SetString(PyExc_ValueError, "unknown operator");
        return nullptr;
    }
    const int is_premultiplied = PyObject_IsTrue(premultiplied);
    if (is_premultiplied < 0) {
        return nullptr;
    }

    CompositeJob job{};
    job.float_scale = float_scale;
    job.op = *op;
    job.premultiplied = is_premultiplied != 0;
    PyObject *inputs = PyTuple_Pack(4, backdrop, source, opacity, kernel);
    if (inputs == nullptr) {
        return nullptr;
    }
    const char *kernel_name = nullptr;
    PyObject *kernel_hold = nullptr;
    npy_intp height = 0;
    npy_intp width = 0;
    const int parsed = parse_blend_inputs(inputs, &job.backdrop, &job.source, &job.opacity,
                                          &height, &width, &kernel_name, &kernel_hold, true);
    Py_DECREF(inputs);
    if (!parsed) {
        return nullptr;
    }
    const char *refusal = nullptr;
    if (job.backdrop.is_uint16 != job.source.is_uint16) {
        refusal = "backdrop and source must both be uint16 or neither";
    } else if (linear && (!job.backdrop.is_uint8 || !job.source.is_uint8 || job.premultiplied)) {
        refusal = "linear light is composited here on straight uint8 images only";
    }
    if (refusal != nullptr) {
        PyErr_SetString(PyExc_TypeError, refusal);
        Py_XDECREF(kernel_hold);
        release_blend_inputs(&job.backdrop, &job.source);
        return nullptr;
    }
    job.linear = linear ? &srgb_tables() : nullptr;
    job.pixels = height * width;
    const auto fail = [&]() -> PyObject * {
        Py_XDECREF(kernel_hold);
        release_blend_mask(&job.mask);
        Py_CLEAR(job.output.array);
        release_blend_inputs(&job.backdrop, &job.source);
        return nullptr;
    };
    if (job.backdrop.channels == 3 && !keeps_opaque_backdrop_opaque(*op)) {
        PyErr_Format(PyExc_ValueError,
                     "operator '%s' needs a 4-channel backdrop: its result can be transparent",
                     op->name);
        return fail();
    }
    // The mask's conversion may run caller code; the output is checked after it.
    if (!parse_blend_mask(mask, height, width, &job.mask) ||
        !adopt_output(out, &job.backdrop, &job.output)) {
        return fail();
    }
    // Alpha is a fraction: an opacity beyond 0..1 has no meaning here.
    job.opacity = job.opacity > 0.0f ? (job.opacity < 1.0f ? job.opacity : 1.0f) : 0.0f;
    job.kernel = pick_kernel(kernel_name);
    if (job.opacity == 0.0f && keeps_backdrop_without_source(*op)) {
        copy_background_into(&job.backdrop, &job.output);  // nothing is drawn
    } else {
        PyThreadState *save = PyEval_SaveThread();
        CompositeJob run = job;
        run_by_rows(&run.backdrop, &run.source, &run.output, &run.mask, [&](npy_intp pixels) {
            run.pixels = pixels;
            entry->kernel(&run);
        });
        PyEval_RestoreThread(save);
    }
    Py_XDECREF(kernel_hold);
    release_blend_mask(&job.mask);
    release_blend_inputs(&job.backdrop, &job.source);
    return reinterpret_cast<PyObject *>(job.output.array);
}

#define TARNWICK_BLEND_METHOD(name) \
    {#name, reinterpret_cast<PyCFunction>(blend_##name), METH_VARARGS, k_blend_doc},

// One plain layer of _composite_layers, as checked: its image's data and
// layout read once.
struct PlainLayer {
    const BlendFunctionEntry *entry;
    const CompositeOperator *op;
    float opacity;
    BlendArray image;
    long long x;
    long long y;
};

// A record of `array` (rows readable, checked by the caller), not owning it.
BlendArray record_of(PyArrayObject *array) {
    BlendArray record{};
    const npy_intp *dims = PyArray_DIMS(array);
    record.channels = static_cast<int32_t>(dims[2]);
    record.is_uint8 = PyArray_DESCR(array)->type_num == NPY_UBYTE ? 1 : 0;
    record.u8 = record.is_uint8 ? static_cast<const uint8_t *>(PyArray_DATA(array)) : nullptr;
    record.f32 = record.is_uint8 ? nullptr : static_cast<const float *>(PyArray_DATA(array));
    record.height = dims[0];
    record.width = dims[1];
    record.row_stride = blend_inputs_detail::row_stride_of(array);
    return record;
}

// The record's rows [top, top + height) and columns [left, left + width).
BlendArray window_of(const BlendArray &record, npy_intp top, npy_intp left, npy_intp height,
                     npy_intp width) {
    BlendArray window = record;
    const npy_intp at = top * record.row_stride + left * record.channels;
    if (record.is_uint8) {
        window.u8 += at;
    } else {
        window.f32 += at;
    }
    window.height = height;
    window.width = width;
    return window;
}

// The first and one-past-last byte a record's pixels span.
std::pair<const char *, const char *> extent_of(const BlendArray &record) {
    const char *first = record.is_uint8 ? reinterpret_cast<const char *>(record.u8)
                                        : reinterpret_cast<const char *>(record.f32);
    const size_t item = record.is_uint8 ? 1 : sizeof(float);
    if (record.height <= 0 || record.width <= 0) {
        return {first, first};
    }
    const npy_intp last = (record.height - 1) * record.row_stride + record.width * record.channels;
    return {first, first + static_cast<size_t>(last) * item};
}

bool is_plain_image(PyObject *obj, bool writeable) {
    if (!PyArray_CheckExact(obj)) {
        return false;
    }
    PyArrayObject *array = reinterpret_cast<PyArrayObject *>(obj);
    const int type = PyArray_DESCR(array)->type_num;
    return (type == NPY_UBYTE || type == NPY_FLOAT) && PyArray_NDIM(array) == 3 &&
           (PyArray_DIMS(array)[2] == 3 || PyArray_DIMS(array)[2] == 4) &&
           (!writeable || PyArray_ISWRITEABLE(array)) &&
           blend_inputs_detail::rows_readable(array, writeable);
}

// _composite_layers(premultiplied, kernel, float_scale, canvas, layers) ->
// canvas: a tuple of plain layers, each (blend, operator, opacity, image, x,
// y), composited in order onto `canvas` in place, each clipped to it, as
// _composite_into on the overlapping views would. Every layer is checked
// before a pixel is written; anything else than plain layers is refused
// (TypeError or ValueError), for the caller to take its general path. For
// stacks of many small layers, where a call per layer would cost more than
// the pixels.
PyObject *composite_layers(PyObject *, PyObject *args) {
    PyObject *premultiplied = nullptr;
    const char *kernel_name = nullptr;
    float float_scale = 255.0f;
    PyObject *canvas = nullptr;
    PyObject *layers = nullptr;
    if (!PyArg_ParseTuple(args, "OsfOO!:_composite_layers", &premultiplied, &kernel_name,
                          &float_scale, &canvas, &PyTuple_Type, &layers)) {
        return nullptr;
    }
    if (!(float_scale > 0.0f && float_scale <= FLT_MAX)) {
        PyErr_SetString(PyExc_ValueError, "float_scale must be a positive finite number");
        return nullptr;
    }
    const int is_premultiplied = PyObject_IsTrue(premultiplied);
    if (is_premultiplied < 0) {
        return nullptr;
    }
    if (!is_plain_image(canvas, true)) {
        PyErr_SetString(PyExc_TypeError, "canvas must be a writeable uint8 or float32 image");
        return nullptr;
    }
    PyArrayObject *canvas_array = reinterpret_cast<PyArrayObject *>(canvas);
    const BlendArray below = record_of(canvas_array);
    BlendOutput into{};
    into.channels = below.channels;
    into.is_uint8 = below.is_uint8;
    into.u8 = const_cast<uint8_t *>(below.u8);
    into.f32 = const_cast<float *>(below.f32);
    into.row_stride = below.row_stride;
    const auto canvas_span = extent_of(below);

    const Py_ssize_t count = PyTuple_GET_SIZE(layers);
    PlainLayer *plain = static_cast<PlainLayer *>(PyMem_Malloc(sizeof(PlainLayer) * (count + 1)));
    if (plain == nullptr) {
        return PyErr_NoMemory();
    }
    const auto refuse = [&](PyObject *type, const char *text, Py_ssize_t index) -> PyObject * {
        PyErr_Format(type, "layers[%zd]: %s", index, text);
        PyMem_Free(plain);
        return nullptr;
    };
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *item = PyTuple_GET_ITEM(layers, i);
        if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 6) {
            return refuse(PyExc_TypeError, "a layer must be a tuple of 6", i);
        }
        PyObject *blend = PyTuple_GET_ITEM(item, 0);
        PyObject *op_name = PyTuple_GET_ITEM(item, 1);
        PyObject *opacity = PyTuple_GET_ITEM(item, 2);
        PyObject *image = PyTuple_GET_ITEM(item, 3);
        PyObject *x = PyTuple_GET_ITEM(item, 4);
        PyObject *y = PyTuple_GET_ITEM(item, 5);
        PlainLayer &layer = plain[i];
        layer.entry = PyUnicode_CheckExact(blend) ? find_named(blend_function_entries, blend)
                                                  : nullptr;
        layer.op = PyUnicode_CheckExact(op_name) ? find_named(k_composite_operators, op_name)
                                                 : nullptr;
        if (layer.entry == nullptr || layer.op == nullptr) {
            return refuse(PyExc_ValueError, "not a blend function and operator by name", i);
        }
        double value = -1.0;
        if (PyFloat_CheckExact(opacity)) {
            value = PyFloat_AS_DOUBLE(opacity);
        } else if (PyLong_CheckExact(opacity)) {
            value = PyLong_AsDouble(opacity);
            PyErr_Clear();  // a huge integer is refused below as -1
        }
        if (!(value >= 0.0 && value <= 1.0)) {
            return refuse(PyExc_ValueError, "opacity must be a number from 0 to 1", i);
        }
        layer.opacity = static_cast<float>(value);
        if (!is_plain_image(image, false)) {
            return refuse(PyExc_TypeError, "image must be a uint8 or float32 image", i);
        }
        layer.image = record_of(reinterpret_cast<PyArrayObject *>(image));
        if (!PyLong_CheckExact(x) || !PyLong_CheckExact(y)) {
            return refuse(PyExc_TypeError, "x and y must be integers", i);
        }
        layer.x = PyLong_AsLongLong(x);
        layer.y = PyLong_AsLongLong(y);
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return refuse(PyExc_ValueError, "x and y must fit in 64 bits", i);
        }
        if (below.channels == 3 && !keeps_opaque_backdrop_opaque(*layer.op)) {
            return refuse(PyExc_ValueError, "the operator needs a 4-channel canvas", i);
        }
        const auto span = extent_of(layer.image);
        if (span.first < canvas_span.second && canvas_span.first < span.second) {
            return refuse(PyExc_ValueError, "the image overlaps the canvas", i);
        }
    }

    const kernel_kind kernel = pick_kernel(kernel_name);
    PyThreadState *save = PyEval_SaveThread();
    for (Py_ssize_t i = 0; i < count; ++i) {
        const PlainLayer &layer = plain[i];
        const long long height = below.height;
        const long long width = below.width;
        const long long top = layer.y > 0 ? layer.y : 0;
        const long long left = layer.x > 0 ? layer.x : 0;
        const long long bottom = std::min(height, layer.y + layer.image.height);
        const long long right = std::min(width, layer.x + layer.image.width);
        if (bottom <= top || right <= left ||
            (layer.opacity == 0.0f && keeps_backdrop_without_source(*layer.op))) {
            continue;
        }
        CompositeJob job{};
        job.op = *layer.op;
        job.premultiplied = is_premultiplied != 0;
        job.opacity = layer.opacity;
        job.float_scale = float_scale;
        job.kernel = kernel;
        job.backdrop = window_of(below, top, left, bottom - top, right - left);
        job.source = window_of(layer.image, top - layer.y, left - layer.x, bottom - top,
                               right - left);
        BlendArray out_window = window_of(below, top, left, bottom - top, right - left);
        job.output = into;
        job.output.u8 = const_cast<uint8_t *>(out_window.u8);
        job.output.f32 = const_cast<float *>(out_window.f32);
        run_by_rows(&job.backdrop, &job.source, &job.output, &job.mask, [&](npy_intp pixels) {
            job.pixels = pixels;
            layer.entry->kernel(&job);
        });
    }
    PyEval_RestoreThread(save);
    PyMem_Free(plain);
    Py_INCREF(canvas);
    return canvas;
}

// Adds `table`'s names to `module` as the tuple `attribute`.
template <typename Entry, size_t count>
bool add_names(PyObject *module, const char *attribute, const Entry (&table)[count]) {
    PyObject *names = PyTuple_New(static_cast<Py_ssize_t>(count));
    if (names == nullptr) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        PyObject *name = PyUnicode_FromString(table[i].name);
        if (name == nullptr) {
            Py_DECREF(names);
            return false;
        }
        PyTuple_SET_ITEM(names, static_cast<Py_ssize_t>(i), name);
    }
    const int added = PyModule_AddObjectRef(module, attribute, names);
    Py_DECREF(names);
    return added == 0;
}

PyMethodDef module_methods[] = {
    TARNWICK_FOR_EACH_MODE(TARNWICK_BLEND_METHOD)
    {"kernel_available", kernel_available, METH_VARARGS, "Check whether a kernel is supported."},
    {"_blend_into", blend_into, METH_VARARGS,
     "_blend_into(mode, background, foreground, opacity, kernel, out, mask=None, "
     "float_scale=255.0) -> out"},
    {"_composite_layers", composite_layers, METH_VARARGS,
     "_composite_layers(premultiplied, kernel, float_scale, canvas, layers) -> canvas"},
    {"_composite_into", composite_into, METH_VARARGS,
     "_composite_into(blend, operator, premultiplied, backdrop, source, opacity, kernel, out, "
     "mask) -> out"},
    {nullptr, nullptr, 0, nullptr},
};

#undef TARNWICK_BLEND_METHOD

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_tarnwick", "Tarnwick", -1, module_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

TARNWICK_EXPORT PyObject *PyInit__tarnwick(void) {
    if (!processor_has_avx2_fma()) {
        PyErr_SetString(PyExc_ImportError, "_tarnwick requires a processor with AVX2 and FMA");
        return nullptr;
    }
    PyObject *module = PyModule_Create2(&module_def, 1013);
    if (module == nullptr) {
        return nullptr;
    }
    if (_import_array() < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    // The names the Python package lists, in the loops' own order, so that
    // the two cannot drift apart.
    if (!add_names(module, "_blend_functions", blend_function_entries) ||
        !add_names(module, "_operators", k_composite_operators)) {
        Py_DECREF(module);
        return nullptr;
    }
#ifdef Py_GIL_DISABLED
    // No shared mutable state: the module is safe without the GIL, and
    // saying so keeps the interpreter from re-enabling it at import.
    if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
#endif
    return module;
}
