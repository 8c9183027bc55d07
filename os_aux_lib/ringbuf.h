// A byte ring buffer without its own lock: its single user serialises access and checks free
// space and stored bytes before each put and get.
#pragma once

typedef struct ringb_imp_t {
    unsigned int flags;  // 1: the data area is part of the same allocation
    unsigned int wp;     // write offset
    unsigned int rp;     // read offset
    unsigned int length; // size of the data area in bytes
    unsigned char *buff; // the data area
    unsigned char data[];
} ringb_imp_t;

typedef ringb_imp_t *ringb_h;

// One zeroed allocation holding the header and a size-byte data area; null when it fails.
ringb_h ringb_alloc(int size);
// Frees a ring buffer from ringb_alloc; null is ignored.
void ringb_free(ringb_h h);
// Writes size bytes at the write offset with wrap-around; -1 for a null handle, else 0.
int ringb_put(ringb_h h, const unsigned char *p, int size);
// Reads size bytes at the read offset with wrap-around; 0.
int ringb_get(ringb_h h, unsigned char *p, int size);
// Free bytes.
int ringb_freespace(ringb_h h);
// Stored bytes.
int ringb_dsize(ringb_h h);
