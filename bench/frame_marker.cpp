#include "frame_marker.h"

#include <string.h>

namespace bench {

namespace {

constexpr int kGuardCells = 2;
constexpr int kCheckBits = 4;
static_assert(kGuardCells + kMarkerFrameBits + kCheckBits == kMarkerCells, "cell layout");

// Limited-range luma of white and black: what an encoder expects from video.
constexpr uint8_t kWhiteY = 235, kBlackY = 16;
// Guard cells must differ at least this much for a row to count as a marker at all.
constexpr int kMinContrast = 80;

// XOR of the number's nibbles, flipped so that an all-black band never checks out.
unsigned check_nibble(unsigned n) {
    return ((n ^ (n >> 4) ^ (n >> 8) ^ (n >> 12)) & 0xF) ^ 0xA;
}

void cells_of(unsigned n, bool cells[kMarkerCells]) {
    n &= kMarkerFrameMask;
    cells[0] = true;
    cells[1] = false;
    for (int i = 0; i < kMarkerFrameBits; i++)
        cells[kGuardCells + i] = (n >> (kMarkerFrameBits - 1 - i)) & 1;
    unsigned check = check_nibble(n);
    for (int i = 0; i < kCheckBits; i++)
        cells[kGuardCells + kMarkerFrameBits + i] = (check >> (kCheckBits - 1 - i)) & 1;
}

// Mean luma over the middle half of cell c, away from edges that coding and scaling blur.
int cell_level(const uint8_t *row, int w, int bpp, int r_off, int g_off, int b_off, int c) {
    int margin = w / (4 * kMarkerCells);
    int x0 = c * w / kMarkerCells + margin;
    int x1 = (c + 1) * w / kMarkerCells - margin;
    long sum = 0;
    for (int x = x0; x < x1; x++) {
        const uint8_t *p = row + (size_t)x * bpp;
        sum += (77 * p[r_off] + 150 * p[g_off] + 29 * p[b_off]) >> 8;
    }
    return x1 > x0 ? (int)(sum / (x1 - x0)) : 0;
}

} // namespace

int marker_band_height(int h) {
    return (h / 12) & ~1;
}

int marker_row(int h) {
    return marker_band_height(h) / 2;
}

void marker_draw_yuv420(uint8_t *y, int y_stride, uint8_t *u, uint8_t *v, int c_stride, int w,
                        int h, unsigned n) {
    bool cells[kMarkerCells];
    cells_of(n, cells);
    int band = marker_band_height(h);
    for (int row = 0; row < band; row++) {
        uint8_t *line = y + (size_t)row * y_stride;
        for (int c = 0; c < kMarkerCells; c++) {
            int x0 = c * w / kMarkerCells, x1 = (c + 1) * w / kMarkerCells;
            memset(line + x0, cells[c] ? kWhiteY : kBlackY, (size_t)(x1 - x0));
        }
    }
    for (int row = 0; row < band / 2; row++) { // grey: no colour in the band
        memset(u + (size_t)row * c_stride, 128, (size_t)(w / 2));
        memset(v + (size_t)row * c_stride, 128, (size_t)(w / 2));
    }
}

int marker_decode_row(const uint8_t *row, int w, int bpp, int r_off, int g_off, int b_off) {
    if (!row || w < 8 * kMarkerCells)
        return -1;
    int level[kMarkerCells];
    for (int c = 0; c < kMarkerCells; c++)
        level[c] = cell_level(row, w, bpp, r_off, g_off, b_off, c);
    if (level[0] - level[1] < kMinContrast)
        return -1;
    int threshold = (level[0] + level[1]) / 2;
    unsigned n = 0, check = 0;
    for (int i = 0; i < kMarkerFrameBits; i++)
        n = (n << 1) | (level[kGuardCells + i] > threshold ? 1u : 0u);
    for (int i = 0; i < kCheckBits; i++)
        check = (check << 1) | (level[kGuardCells + kMarkerFrameBits + i] > threshold ? 1u : 0u);
    return check == check_nibble(n) ? (int)n : -1;
}

} // namespace bench
