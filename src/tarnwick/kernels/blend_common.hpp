// Shared routines of every blend mode: kernel choice, the blend front end,
// pixel access and the compositors. Each concern lives in its own header.
#pragma once

#include "numpy_api.hpp"
#include "kernel_select.hpp"
#include "blend_inputs.hpp"
#include "channel_access.hpp"
#include "blend_call.hpp"
#include "pixel_simd.hpp"
#include "normal_compositor.hpp"
#include "separable_kernels.hpp"
#include "ratio_compositor.hpp"
#include "colour_hsv.hpp"
#include "colour_lab.hpp"
#include "colour_lch.hpp"
#include "rgb_compositor.hpp"
#include "composite_compositor.hpp"
