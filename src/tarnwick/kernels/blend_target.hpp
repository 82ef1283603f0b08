// The caller's output array of a blend-into call. The private entry hands it
// to a mode's entry function as that function's `self`, wrapped in a capsule
// of this name; the public calls get the module object there instead.
#pragma once

#include <Python.h>

inline constexpr const char *k_blend_target_capsule = "_tarnwick.blend_target";

struct BlendTarget {
    PyObject *out;   // borrowed from the caller's argument tuple
    PyObject *mask;  // borrowed; null or None: no layer mask
    double float_scale;  // the value of a float image that means full intensity
};

// The target carried by `self`, or null when the call allocates its output.
inline const BlendTarget *blend_target_of(PyObject *self) {
    if (self == nullptr || !PyCapsule_IsValid(self, k_blend_target_capsule)) {
        return nullptr;
    }
    return static_cast<const BlendTarget *>(PyCapsule_GetPointer(self, k_blend_target_capsule));
}
