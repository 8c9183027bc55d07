// Byte ring buffer. Empty is wp == rp; the write offset may rest at `length` after a write that
// ends exactly at the end of the area, which keeps a full buffer distinguishable from an empty one.
#include "ringbuf.h"

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Bytes added to the data area for the header, before rounding down to 16.
constexpr size_t kRingOverhead = 48;
static_assert(offsetof(ringb_imp_t, data) + 15 <= kRingOverhead,
              "the ring header no longer fits the fixed overhead");

// Copies size bytes from src into the area at *pos. While *pos is behind the other offset the
// bytes fit before it; otherwise they run to the end of the area and continue at its start.
void copy_in(ringb_h h, unsigned int *pos, unsigned int other, const unsigned char *src, int size) {
    const unsigned int n = static_cast<unsigned int>(size);
    if (*pos < other) {
        memcpy(h->buff + *pos, src, n);
        *pos += n;
        return;
    }
    const unsigned int tail = h->length - *pos;
    const unsigned int first = n < tail ? n : tail;
    memcpy(h->buff + *pos, src, first);
    *pos += first;
    if (first < n) {
        memcpy(h->buff, src + first, n - first);
        *pos = n - first;
    }
}

// The read-side mirror of copy_in.
void copy_out(ringb_h h, unsigned int *pos, unsigned int other, unsigned char *dst, int size) {
    const unsigned int n = static_cast<unsigned int>(size);
    if (*pos < other) {
        memcpy(dst, h->buff + *pos, n);
        *pos += n;
        return;
    }
    const unsigned int tail = h->length - *pos;
    const unsigned int first = n < tail ? n : tail;
    memcpy(dst, h->buff + *pos, first);
    *pos += first;
    if (first < n) {
        memcpy(dst + first, h->buff, n - first);
        *pos = n - first;
    }
}

} // namespace

ringb_h ringb_alloc(int size) {
    if (size < 0)
        return nullptr;
    const size_t total = (static_cast<size_t>(size) + kRingOverhead) & ~static_cast<size_t>(15);
    ringb_h h = static_cast<ringb_h>(calloc(1, total));
    if (!h)
        return nullptr;
    h->flags = 1;
    h->length = static_cast<unsigned int>(size);
    h->buff = h->data;
    return h;
}

void ringb_free(ringb_h h) {
    free(h);
}

// The caller has checked ringb_freespace: no check here.
int ringb_put(ringb_h h, const unsigned char *p, int size) {
    if (!h) {
        fprintf(stderr, "%s.%d not initialize\n\r", "ringb_put", 53);
        return -1;
    }
    if (size > 0)
        copy_in(h, &h->wp, h->rp, p, size);
    return 0;
}

// The caller has checked ringb_dsize: no check here.
int ringb_get(ringb_h h, unsigned char *p, int size) {
    if (!h)
        return -1;
    if (size > 0)
        copy_out(h, &h->rp, h->wp, p, size);
    return 0;
}

int ringb_freespace(ringb_h h) {
    if (!h)
        return 0;
    if (h->wp < h->rp)
        return static_cast<int>(h->rp - h->wp);
    return static_cast<int>(h->length + h->rp - h->wp);
}

int ringb_dsize(ringb_h h) {
    if (!h)
        return 0;
    if (h->wp < h->rp)
        return static_cast<int>(h->length + h->wp - h->rp);
    return static_cast<int>(h->wp - h->rp);
}
