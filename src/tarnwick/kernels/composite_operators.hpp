// The compositing operators as their two factors, the share of the source
// (Fa) and of the backdrop (Fb) in the result:
//   Fa = fa_const + fa_backdrop * backdrop alpha,
//   Fb = fb_const + fb_source * source alpha.
// The one place the operators are defined; the front end takes their names
// from here and the compositor their factors. Free of vector code: the
// module's start-up file includes it too.
#pragma once

struct CompositeOperator {
    const char *name;
    float fa_const;
    float fa_backdrop;
    float fb_const;
    float fb_source;
};

// In the order of tarnwick.OPERATORS. plus_lighter's clamp of colour and
// alpha to 1 is not a factor: the compositor caps every result's alpha at
// 1 and its premultiplied colour at that alpha, which changes nothing for
// the other operators beyond a rounding.
inline constexpr CompositeOperator k_composite_operators[] = {
    {"clear", 0.0f, 0.0f, 0.0f, 0.0f},
    {"copy", 1.0f, 0.0f, 0.0f, 0.0f},
    {"destination", 0.0f, 0.0f, 1.0f, 0.0f},
    {"source_over", 1.0f, 0.0f, 1.0f, -1.0f},
    {"destination_over", 1.0f, -1.0f, 1.0f, 0.0f},
    {"source_in", 0.0f, 1.0f, 0.0f, 0.0f},
    {"destination_in", 0.0f, 0.0f, 0.0f, 1.0f},
    {"source_out", 1.0f, -1.0f, 0.0f, 0.0f},
    {"destination_out", 0.0f, 0.0f, 1.0f, -1.0f},
    {"source_atop", 0.0f, 1.0f, 1.0f, -1.0f},
    {"destination_atop", 1.0f, -1.0f, 0.0f, 1.0f},
    {"xor", 1.0f, -1.0f, 1.0f, -1.0f},
    {"plus_lighter", 1.0f, 0.0f, 1.0f, 0.0f},
};

// Over an opaque backdrop the result's alpha is
//   fb_const + source alpha * (fa_const + fa_backdrop + fb_source),
// capped at 1: opaque for every source exactly when fb_const is 1 and the
// bracket is not negative. Only such operators may write a 3-channel image,
// which has no alpha to hold anything else.
constexpr bool keeps_opaque_backdrop_opaque(const CompositeOperator &op) {
    return op.fb_const == 1.0f && op.fa_const + op.fa_backdrop + op.fb_source >= 0.0f;
}

// With no source drawn (Fa * source alpha = 0) an operator whose Fb is then
// 1 leaves the backdrop as it is; the compositor stores the backdrop's own
// values there, bit for bit, and a transparent layer is a plain copy.
constexpr bool keeps_backdrop_without_source(const CompositeOperator &op) {
    return op.fb_const == 1.0f;
}
