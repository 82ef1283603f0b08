// Images that are regions of larger ones: the loops run over whole runs of
// pixels, so an image whose rows do not follow each other in memory is run
// one row at a time, every record stepped to the row.
#pragma once

#include "blend_inputs.hpp"
#include "mask_input.hpp"
#include "work_numbers.hpp"

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

// Bytes left after each piece in scratch, so that the pieces of a call do
// not all start at the same offset in a 4 KiB page: loads from one and
// stores to another would otherwise look alike to the processor and wait on
// each other. A multiple of 64 keeps every piece's alignment.
inline constexpr size_t k_piece_skew = 320;

// The layer modes' loops read uint8 and float32 on 0..255. Images of other
// numbers (uint16, floats on 0..`float_scale`) go through the same pieces,
// converted into float32 scratch on 0..255 on the way in and back on the way
// out, by the steps the band conversion of the package takes, so that a
// result does not depend on which of the two converted it.

// The factor that takes a record's values onto float32 0..255, or 0 where
// the loops read them as stored.
template <typename Record>
inline float to_work_factor(const Record &record, double float_scale) {
    if (record.is_uint16) {
        return static_cast<float>(255.0 / 65535.0);
    }
    if (!record.is_uint8 && float_scale != 255.0) {
        return static_cast<float>(255.0 / float_scale);
    }
    return 0.0f;
}

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

// The width segments of an image are cut at: its whole run of pixels where
// its rows adjoin (rows of one pixel, say, would cost a call each).
inline npy_intp segment_width(npy_intp row_stride, npy_intp height, npy_intp width,
                              int32_t channels) {
    return rows_adjoin(row_stride, height, width, channels) ? height * width : width;
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

// As gather, each value times `factor` in float32.
template <typename T>
inline void gather_to_work(const T *image, npy_intp row_stride, npy_intp width, int32_t channels,
                           npy_intp first, npy_intp count, float factor, float *run) {
    for_each_segment(width, first, count, [&](npy_intp row, npy_intp column, npy_intp done,
                                              npy_intp n) {
        const T *src = image + row * row_stride + column * channels;
        float *dst = run + done * channels;
        for (npy_intp i = 0; i < n * channels; ++i) {
            dst[i] = static_cast<float>(src[i]) * factor;
        }
    });
}

// As scatter, each value converted from 0..255: to uint16 as above, to
// floats on 0..`float_scale` by one rounding (the quotient for 0..1).
inline void scatter_from_work(const float *run, const BlendOutput &image, npy_intp width,
                              npy_intp first, npy_intp count, double float_scale) {
    const int32_t channels = image.channels;
    const float factor = static_cast<float>(float_scale / 255.0);
    for_each_segment(width, first, count, [&](npy_intp row, npy_intp column, npy_intp done,
                                              npy_intp n) {
        const npy_intp at = row * image.row_stride + column * channels;
        const float *src = run + done * channels;
        const npy_intp values = n * channels;
        if (image.is_uint16) {
            uint16_t *dst = image.u16 + at;
            for (npy_intp i = 0; i < values; ++i) {
                dst[i] = work_to_u16(src[i]);
            }
        } else if (float_scale == 1.0) {
            float *dst = image.f32 + at;
            for (npy_intp i = 0; i < values; ++i) {
                dst[i] = divide_by_255(src[i]);
            }
        } else {
            float *dst = image.f32 + at;
            for (npy_intp i = 0; i < values; ++i) {
                dst[i] = src[i] * factor;
            }
        }
    });
}

// Whether a piece of this record is read where it lies: only while
// converting (a piece of float32 in the call, so the byte-aligned loops of
// two uint8 images never run), for a record that needs no conversion and
// whose rows adjoin.
template <typename Record>
inline bool read_in_place(const Record &record, npy_intp height, npy_intp width,
                          double float_scale, bool converting) {
    return converting && to_work_factor(record, float_scale) == 0.0f &&
           rows_adjoin(record.row_stride, height, width, record.channels);
}

// Scratch bytes per pixel that a record's pieces take.
template <typename Record>
inline size_t piece_bytes(const Record &record, npy_intp height, npy_intp width,
                          double float_scale, bool converting) {
    if (read_in_place(record, height, width, float_scale, converting)) {
        return 0;
    }
    const size_t item =
        to_work_factor(record, float_scale) != 0.0f ? sizeof(float) : item_size(record);
    return static_cast<size_t>(record.channels) * item;
}

// Points `piece` at pixels [first, first + count) of `image`: where they lie,
// or in `scratch`, converted where the loops cannot read them as stored.
// Returns the scratch after what the piece took.
inline unsigned char *gather_record(const BlendArray &image, BlendArray *piece,
                                    unsigned char *scratch, npy_intp first, npy_intp count,
                                    double float_scale, bool converting) {
    const npy_intp at = first * image.channels;
    const float factor = to_work_factor(image, float_scale);
    const npy_intp width =
        segment_width(image.row_stride, image.height, image.width, image.channels);
    const size_t bytes = piece_bytes(image, image.height, image.width, float_scale, converting);
    unsigned char *next = scratch;
    if (bytes > 0) {
        next += static_cast<size_t>(k_gather_pixels) * bytes + k_piece_skew;
    }
    if (factor != 0.0f) {
        float *run = reinterpret_cast<float *>(scratch);
        if (image.is_uint16) {
            gather_to_work(image.u16, image.row_stride, width, image.channels, first, count,
                           factor, run);
        } else {
            gather_to_work(image.f32, image.row_stride, width, image.channels, first, count,
                           factor, run);
        }
        piece->is_uint16 = 0;
        piece->u16 = nullptr;
        piece->f32 = run;
    } else if (read_in_place(image, image.height, image.width, float_scale, converting)) {
        if (image.is_uint8) {
            piece->u8 = image.u8 + at;
        } else {
            piece->f32 = image.f32 + at;
        }
    } else if (image.is_uint8) {
        gather(image.u8, image.row_stride, width, image.channels, first, count, scratch);
        piece->u8 = scratch;
    } else {
        float *run = reinterpret_cast<float *>(scratch);
        gather(image.f32, image.row_stride, width, image.channels, first, count, run);
        piece->f32 = run;
    }
    return next;
}

inline unsigned char *gather_mask(const BlendMask &mask, npy_intp height, npy_intp width,
                                  BlendMask *piece, unsigned char *scratch, npy_intp first,
                                  npy_intp count, bool converting) {
    if (converting && rows_adjoin(mask.row_stride, height, width, 1)) {
        if (mask.u8 != nullptr) {
            piece->u8 = mask.u8 + first;
        } else if (mask.f32 != nullptr) {
            piece->f32 = mask.f32 + first;
        }
        return scratch;
    }
    const npy_intp runs = segment_width(mask.row_stride, height, width, 1);
    if (mask.u8 != nullptr) {
        gather(mask.u8, mask.row_stride, runs, 1, first, count, scratch);
        piece->u8 = scratch;
    } else if (mask.f32 != nullptr) {
        float *run = reinterpret_cast<float *>(scratch);
        gather(mask.f32, mask.row_stride, runs, 1, first, count, run);
        piece->f32 = run;
    }
    return scratch + static_cast<size_t>(k_gather_pixels) * sizeof(float) + k_piece_skew;
}

// Whether any record needs converting pieces.
inline bool converts_any(const BlendArray &below, const BlendArray &layer, const BlendOutput &out,
                         double float_scale) {
    return to_work_factor(below, float_scale) != 0.0f ||
           to_work_factor(layer, float_scale) != 0.0f ||
           to_work_factor(out, float_scale) != 0.0f;
}

}  // namespace row_runs_detail

// The scratch run_gathered needs for these records: 0 when their rows
// adjoin and the loops read their numbers as stored (the image is one run
// already).
inline size_t gather_scratch_bytes(const BlendArray &below, const BlendArray &layer,
                                   const BlendOutput &out, const BlendMask &mask,
                                   double float_scale = 255.0) {
    using namespace row_runs_detail;
    const npy_intp height = below.height;
    const npy_intp width = below.width;
    const bool converting = converts_any(below, layer, out, float_scale);
    if (!converting && rows_adjoin(below.row_stride, height, width, below.channels) &&
        rows_adjoin(layer.row_stride, height, width, layer.channels) &&
        rows_adjoin(out.row_stride, height, width, out.channels) &&
        (!has_mask(mask) || rows_adjoin(mask.row_stride, height, width, 1))) {
        return 0;
    }
    const bool mask_in_place = converting && rows_adjoin(mask.row_stride, height, width, 1);
    const size_t per_pixel = piece_bytes(below, height, width, float_scale, converting) +
                             piece_bytes(layer, height, width, float_scale, converting) +
                             piece_bytes(out, height, width, float_scale, converting) +
                             (has_mask(mask) && !mask_in_place ? sizeof(float) : 0);
    return static_cast<size_t>(k_gather_pixels) * per_pixel + 3 * k_piece_skew;
}

// As run_by_rows, but a region, or images of numbers the loops do not read
// as stored, go through `scratch` (gather_scratch_bytes of it; null when
// that is 0) a piece at a time: its pixels gathered (and converted), `run`
// on the piece, the piece's result put into the output's rows.
template <typename Run>
__attribute__((always_inline)) inline void run_gathered(BlendArray *below, BlendArray *layer,
                                                        BlendOutput *out, BlendMask *mask,
                                                        unsigned char *scratch,
                                                        double float_scale, Run &&run) {
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
    const bool converting = converts_any(image_below, image_layer, image_out, float_scale);
    const bool out_converts = to_work_factor(image_out, float_scale) != 0.0f;
    const bool out_in_place = read_in_place(image_out, height, width, float_scale, converting);
    const npy_intp out_width =
        segment_width(image_out.row_stride, height, width, image_out.channels);
    const npy_intp pixels = height * width;
    for (npy_intp first = 0; first < pixels; first += k_gather_pixels) {
        const npy_intp count = pixels - first < k_gather_pixels ? pixels - first : k_gather_pixels;
        unsigned char *free_space =
            gather_record(image_below, below, scratch, first, count, float_scale, converting);
        free_space =
            gather_record(image_layer, layer, free_space, first, count, float_scale, converting);
        if (has_mask(image_mask)) {
            free_space = gather_mask(image_mask, height, width, mask, free_space, first, count,
                                     converting);
        }
        const npy_intp at = first * image_out.channels;
        if (out_converts) {
            out->is_uint16 = 0;
            out->u16 = nullptr;
            out->f32 = reinterpret_cast<float *>(free_space);
        } else if (image_out.is_uint8) {
            out->u8 = out_in_place ? image_out.u8 + at : free_space;
        } else {
            out->f32 = out_in_place ? image_out.f32 + at : reinterpret_cast<float *>(free_space);
        }
        run(count);
        if (out_converts) {
            scatter_from_work(out->f32, image_out, out_width, first, count, float_scale);
        } else if (out_in_place) {
            // Written where it lies.
        } else if (image_out.is_uint8) {
            scatter(out->u8, image_out.u8, image_out.row_stride, out_width, image_out.channels,
                    first, count);
        } else {
            scatter(out->f32, image_out.f32, image_out.row_stride, out_width, image_out.channels,
                    first, count);
        }
    }
}
