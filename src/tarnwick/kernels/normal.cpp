// "normal": the layer laid over the background with the "over" rule.
#include "blend_common.hpp"

TARNWICK_EXPORT PyObject *blend_normal(PyObject *self, PyObject *args) {
    return blend_normal_mode(self, args);
}
