// The frame number drawn into every sent picture and read back from decoded pictures and from
// windows: a band across the top twelfth of the picture, cut into 20 equal cells that
// are each white or black. Cell 0 is always white and cell 1 always black (the reference levels
// for the threshold), cells 2-15 hold the frame number (14 bits, most significant first) and
// cells 16-19 a check nibble. Cells this large survive H.264 coding and any scaling that keeps
// the band across the full width.
#pragma once

#include <stdint.h>

namespace bench {

constexpr int kMarkerCells = 20;
constexpr int kMarkerFrameBits = 14;
constexpr unsigned kMarkerFrameMask = (1u << kMarkerFrameBits) - 1;

// Height of the band in a picture of height h, and the row through its middle.
int marker_band_height(int h);
int marker_row(int h);

// Draws frame number n into the band of a YUV 4:2:0 picture (luma and both chroma planes).
void marker_draw_yuv420(uint8_t *y, int y_stride, uint8_t *u, uint8_t *v, int c_stride, int w,
                        int h, unsigned n);

// Reads the frame number from one row of packed pixels crossing the band: `bpp` bytes a pixel,
// red, green and blue at the given byte offsets. -1 when the row holds no valid marker.
int marker_decode_row(const uint8_t *row, int w, int bpp, int r_off, int g_off, int b_off);

} // namespace bench
