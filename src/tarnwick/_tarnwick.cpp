// The _tarnwick module: method table, start-up and kernel_available.
//
// This file is compiled without AVX2 code generation: it must be able to run
// on any x86-64 processor long enough to refuse one that lacks AVX2 or FMA.
#define TARNWICK_DEFINE_ARRAY_API
#include "numpy_api.hpp"
#include "kernel_select.hpp"
#include "blend_target.hpp"
#include "mode_list.hpp"

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

// _blend_into(mode, background, foreground, opacity, kernel, out, mask=None)
// -> out: the blend function `mode` with its inputs checked exactly as the
// public call checks them, writing into the caller's `out` instead of a new
// array; `mask` (one uint8 or float32 value per pixel) scales the layer's
// alpha.
PyObject *blend_into(PyObject *, PyObject *args) {
    PyObject *mode = nullptr;
    PyObject *background = nullptr;
    PyObject *foreground = nullptr;
    PyObject *opacity = nullptr;
    PyObject *kernel = nullptr;
    PyObject *out = nullptr;
    PyObject *mask = nullptr;
    if (!PyArg_ParseTuple(args, "OOOOOO|O:_blend_into", &mode, &background, &foreground, &opacity,
                          &kernel, &out, &mask)) {
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
    BlendTarget target{out, mask};
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

#define TARNWICK_BLEND_METHOD(name) \
    {#name, reinterpret_cast<PyCFunction>(blend_##name), METH_VARARGS, k_blend_doc},

PyMethodDef module_methods[] = {
    TARNWICK_FOR_EACH_MODE(TARNWICK_BLEND_METHOD)
    {"kernel_available", kernel_available, METH_VARARGS, "Check whether a kernel is supported."},
    {"_blend_into", blend_into, METH_VARARGS,
     "_blend_into(mode, background, foreground, opacity, kernel, out, mask=None) -> out"},
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
