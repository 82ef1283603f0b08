// Images that are regions of larger ones: the loops run over whole runs of
// pixels, so an image whose rows do not follow each other in memory is run
// one row at a time, every record stepped to the row.
#pragma once

#include "blend_inputs.hpp"
#include "mask_input.hpp"

// Calls `run(pixels)` once over all height × width pixels when every
// image's rows adjoin (the mask's too, if any), else once per row with the
// records stepped to it. The records are the caller's copies: they are
// left stepped past the last row.
template <typename Run>
__attribute__((always_inline)) inline void run_by_rows(BlendArray *below, BlendArray *layer,
                                                       BlendOutput *out, BlendMask *mask,
                                                       Run &&run) {
    const npy_intp height = below->height;
    const npy_intp width = below->width;
    const bool whole =
        rows_adjoin(below->row_stride, height, width, below->channels) &&
        rows_adjoin(layer->row_stride, height, width, layer->channels) &&
        rows_adjoin(out->row_stride, height, width, out->channels) &&
        (!has_mask(*mask) || rows_adjoin(mask->row_stride, height, width, 1));
    if (whole) {
        run(height * width);
        return;
    }
    for (npy_intp row = 0; row < height; ++row) {
        run(width);
        step_rows(below, 1);
        step_rows(layer, 1);
        step_rows(out, 1);
        step_rows(mask, 1);
    }
}

// Loops whose rounding depends on a pixel's place in the vector groups (the
// layer modes) run a region in pieces gathered into contiguous scratch:
// pieces of k_gather_pixels (a whole number of groups of every width) from
// the first pixel on, so that every pixel keeps the group it has in a run
// of the whole image, and only the last piece has a tail.
inline constexpr npy_intp k_gather_pixels = 4096;

namespace row_runs_detail {

// Calls `segment(row, column, done, count)` for the pieces of rows that
// pixels [first, first + count) of an image `width` pixels wide span.
template <typename Segment>
inline void for_each_segment(npy_intp width, npy_intp first, npy_intp count, Segment &&segment) {
    for (npy_intp done = 0; done < count;) {
        const npy_intp row = (first + done) / width;
        const npy_intp column = (first + done) % width;
        const npy_intp n = width - column < count - done ? width - column : count - done;
        segment(row, column, done, n);
        done += n;
    }
}

template <typename T>
inline void gather(const T *image, npy_intp row_stride, npy_intp width, int32_t channels,
                   npy_intp first, npy_intp count, T *run) {
    for_each_segment(width, first, count, [&](npy_intp row, npy_intp column, npy_intp done,
                                              npy_intp n) {
        std::memcpy(run + done * channels, image + row * row_stride + column * channels,
                    static_cast<size_t>(n * channels) * sizeof(T));
    });
}

template <typename T>
inline void scatter(const T *run, T *image, npy_intp row_stride, npy_intp width, int32_t channels,
                    npy_intp first, npy_intp count) {
    for_each_segment(width, first, count, [&](npy_intp row, npy_intp column, npy_intp done,
                                              npy_intp n) {
        std::memcpy(image + row * row_stride + column * channels, run + done * channels,
                    static_cast<size_t>(n * channels) * sizeof(T));
    });
}

// Points `piece` at `scratch` holding pixels [first, first + count) of `image`.
inline unsigned char *gather_record(const BlendArray &image, BlendArray *piece,
                                    unsigned char *scratch, npy_intp first, npy_intp count) {
    if (image.is_uint8) {
        gather(image.u8, image.row_stride, image.width, image.channels, first, count, scratch);
        piece->u8 = scratch;
    } else {
        float *run = reinterpret_cast<float *>(scratch);
        gather(image.f32, image.row_stride, image.width, image.channels, first, count, run);
        piece->f32 = run;
    }
    return scratch + static_cast<size_t>(k_gather_pixels * image.channels) * item_size(image);
}

inline unsigned char *gather_mask(const BlendMask &mask, npy_intp width, BlendMask *piece,
                                  unsigned char *scratch, npy_intp first, npy_intp count) {
    if (mask.u8 != nullptr) {
        gather(mask.u8, mask.row_stride, width, 1, first, count, scratch);
        piece->u8 = scratch;
    } else if (mask.f32 != nullptr) {
        float *run = reinterpret_cast<float *>(scratch);
        gather(mask.f32, mask.row_stride, width, 1, first, count, run);
        piece->f32 = run;
    }
    return scratch + static_cast<size_t>(k_gather_pixels) * sizeof(float);
}

}  // namespace row_runs_detail

// The scratch run_gathered needs for these records: 0 when their rows
// adjoin (the image is one run already).
inline size_t gather_scratch_bytes(const BlendArray &below, const BlendArray &layer,
                                   const BlendOutput &out, const BlendMask &mask) {
    const npy_intp height = below.height;
    const npy_intp width = below.width;
    if (rows_adjoin(below.row_stride, height, width, below.channels) &&
        rows_adjoin(layer.row_stride, height, width, layer.channels) &&
        rows_adjoin(out.row_stride, height, width, out.channels) &&
        (!has_mask(mask) || rows_adjoin(mask.row_stride, height, width, 1))) {
        return 0;
    }
    const size_t per_pixel = below.channels * item_size(below) + layer.channels * item_size(layer) +
                             out.channels * item_size(out) + sizeof(float);
    return static_cast<size_t>(k_gather_pixels) * per_pixel;
}

// As run_by_rows, but a region goes through `scratch` (gather_scratch_bytes
// of it; null when that is 0) a piece at a time: its pixels gathered, `run`
// on the piece, the piece's result copied to the output's rows.
template <typename Run>
__attribute__((always_inline)) inline void run_gathered(BlendArray *below, BlendArray *layer,
                                                        BlendOutput *out, BlendMask *mask,
                                                        unsigned char *scratch, Run &&run) {
    using namespace row_runs_detail;
    const npy_intp height = below->height;
    const npy_intp width = below->width;
    if (scratch == nullptr) {
        run(height * width);
        return;
    }
    const BlendArray image_below = *below;
    const BlendArray image_layer = *layer;
    const BlendOutput image_out = *out;
    const BlendMask image_mask = *mask;
    const npy_intp pixels = height * width;
    for (npy_intp first = 0; first < pixels; first += k_gather_pixels) {
        const npy_intp count = pixels - first < k_gather_pixels ? pixels - first : k_gather_pixels;
        unsigned char *free_space = gather_record(image_below, below, scratch, first, count);
        free_space = gather_record(image_layer, layer, free_space, first, count);
        if (has_mask(image_mask)) {
            free_space = gather_mask(image_mask, width, mask, free_space, first, count);
        }
        if (image_out.is_uint8) {
            out->u8 = free_space;
        } else {
            out->f32 = reinterpret_cast<float *>(free_space);
        }
        run(count);
        if (image_out.is_uint8) {
            scatter(out->u8, image_out.u8, image_out.row_stride, width, image_out.channels, first,
                    count);
        } else {
            scatter(out->f32, image_out.f32, image_out.row_stride, width, image_out.channels,
                    first, count);
        }
    }
}
