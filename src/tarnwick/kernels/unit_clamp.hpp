// The scalar unit-range clamp, kept free of Python and NumPy headers so the
// colour arithmetic that uses it can be built and tested on its own.
#pragma once

// NaN passes through (both comparisons fail); -0.0 stays -0.0.
inline float clamp01(float value) {
    if (value < 0.0f) {
        return 0.0f;
    }
    return value > 1.0f ? 1.0f : value;
}
