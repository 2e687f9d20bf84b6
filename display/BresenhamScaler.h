// The fractional Bresenham scaler: an area-averaging (box) resampler of a fractional source
// window to a whole destination size, in 24-bit fixed point.
//
// Every destination pixel is the weighted mean of exactly the source area it covers; partial
// source pixels at either end count with the covered fraction. Weights are fractions of 2^24,
// stepped along rows and columns; sums are 32-bit and every result is the sum shifted right by
// 24 (truncated). The axes are separable: a vertical pass combines source rows into one row per
// destination row and a horizontal pass resamples that row (when enlarging vertically, rows are
// resampled horizontally first and then blended).
//
// The passes run from plans made once per call (which source pixels and rows feed which
// destination pixel, with which weights), so the row loops do no division and take no branch
// per pixel; their inner loops are vectorised with the instruction set chosen at run time.
// The arithmetic is exactly the one stated above: a plain transcription gives the same bytes.
#pragma once

#include "EngineImage.h"

#include <cstdint>

struct ScalerPass;

struct Bresenham2DScaler {
    double x_scale = 0;       // dest_width / source_width
    double y_scale = 0;       // dest_height / source_height
    double x_offset = 0;      // fractional start column of the window, >= 0
    double y_offset = 0;      // fractional start row, >= 0
    double source_width = 0;  // window width in source pixels, > 0
    double source_height = 0; // window height in source pixels, > 0
    std::uint32_t dest_width = 0;
    std::uint32_t dest_height = 0;
    std::int32_t touched_columns = 0; // ceil(source_width + x_offset), at most the columns
    std::int32_t touched_rows = 0;    // ceil(source_height + y_offset), at most the rows
    const engine::Image* source_image = nullptr;
    engine::Image* dest_image = nullptr;
    engine::ExceptionInfo* exception = nullptr;
    const ScalerPass* pass = nullptr; // the horizontal pass of the call under way

    // Validates the arguments (with the tolerance snap of a window that ends a hair past the
    // image) and fills the record. False, with the reasons on the debugger output, when they
    // are not valid.
    bool initialize(const engine::Image* source_image, double x_offset, double y_offset,
                    double source_width, double source_height, int dest_width, int dest_height,
                    engine::ExceptionInfo* exception);
    // The scaled image (the caller owns it), or null when it cannot be made.
    engine::Image* execute();

private:
    bool Scale_Y_Shrink();
    bool Scale_Y_Enlarge();
    bool Scale_Y_Copy();
};

// The exported entry: a new image of d_width x d_height made from the window (x_offset,
// y_offset, s_width, s_height) of source_image, owned by the caller; null for an invalid image
// or invalid arguments (reasons on the debugger output).
extern "C" __attribute__((visibility("default"))) engine::Image*
_ScaleImage_Bresenham_Fractional(const engine::Image* source_image, double x_offset,
                                 double y_offset, double s_width, double s_height, int d_width,
                                 int d_height, engine::ExceptionInfo* exception);
