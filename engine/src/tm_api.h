// The recording index: a ".sdx" file beside each ".ts" recording with the recording's length
// in seconds, one entry (byte position, second) per key frame, and up to 128 tags. The whole
// file is held in memory while it is open; a recorder and players of the same file share one
// open index through a process-wide registry of 10 slots.
//
// File layout (little-endian): a 1536-byte header (checksum, revision, tags_count,
// index_count, reserved, record_size_kb, duration, four zero fields, reserved, then 128 tag
// slots from offset 1024) followed by index_count 12-byte entries. The checksum is the byte sum
// of everything after its own four bytes.
#pragma once

#include <stdint.h>

#include "oslite.h"

#define SDX_HEADER_SIZE 1024
#define SDX_TAGS_COUNT 128
#define SDX_IMAGE_HEADER 1536 // the header with the tag table
#define SDX_NAME_MAX 200
#define MAJIC 0x12345
#define SDX_REGISTRY_SIZE 10
// Entries the recorder asks for: about 12 MB, allocated once at open.
#define SDX_RECORD_CAPACITY 1000000

enum { RECORDING_OPEN = 0, PLAYBACK_OPEN = 1 };
enum { TRANSPORT = 0, MPEG4 = 1, JPEG = 2 };
// Bit numbers of sdx_file_info.flag.
enum { HAS_INDEX = 0, IN_PRODUCTION = 1, CYCLIC = 2, BUSY = 3 };

#pragma pack(push, 1)
// One index entry: the byte position of a key frame in its segment and its second.
typedef struct {
    uint64_t offset;
    uint8_t block;     // segment number; the recorder writes 0
    uint8_t second[3]; // unsigned 24-bit little-endian
} s_index;
#pragma pack(pop)
static_assert(sizeof(s_index) == 12, "an index entry is 12 bytes");

// The file's header with its tag table, as it lies at the start of the file.
typedef struct {
    uint32_t checksum;
    int32_t revision;
    int32_t tags_count;
    int32_t index_count;
    uint8_t rezerve1[84];
    int32_t record_size_kb; // a byte count, despite the name
    int32_t duration;       // seconds: the second of the most recent entry
    int32_t record_split_count;
    int32_t record_res_x;
    int32_t record_res_y;
    int32_t record_total_frames;
    uint8_t rezerve2[900];
    uint32_t tag_index[SDX_TAGS_COUNT]; // a second in the low 24 bits
} header_information;
static_assert(sizeof(header_information) == SDX_IMAGE_HEADER, "the header is 1536 bytes");

// The in-memory image: the header, then the entries (12 bytes each, from byte 1536).
typedef struct {
    header_information header;
} file_index_t;

typedef struct {
    int type; // RECORDING_OPEN or PLAYBACK_OPEN
    char sdx_file_name[SDX_NAME_MAX];
    int index_count; // capacity in entries, recording only
    char record_file_name[SDX_NAME_MAX];
} sdx_param;

typedef struct {
    int type; // always TRANSPORT
    int sizeKB;
    int seconds;
    int flag; // bits HAS_INDEX, IN_PRODUCTION, CYCLIC, BUSY
    int tag_count;
    int index_count;
} sdx_file_info;

// An open index. Callers hold it as an untyped pointer.
typedef struct {
    uint32_t majic; // MAJIC while alive
    char sdx_file_name[SDX_NAME_MAX];
    char base_name[SDX_NAME_MAX]; // the file name without its extension
    int i_handle;                 // registry slot, -1 when unregistered
    int max_index;                // capacity; 0 for a playback open (no entries accepted)
    int sec;                      // second of the most recent entry written; atomic
    int reader_count;             // users; under index_semaphore
    OS_Semaphore_t index_semaphore;
    OS_Semaphore_t tag_semaphore;
    uint32_t play_modefy_flag; // a tag was added since the last write; atomic
    file_index_t *p_index;     // owned image
    // Entries and tags are appended without a lock by one writer: index_count and tags_count
    // in the image are read and written atomically, after and before the entry they cover.
} sdx_file;

// Opens an index: for a recording, a new empty one (nothing is written until a flush or the
// close); for playback, the file read whole, or the open index of the same name, joined. Null
// when the file is missing or invalid, the name does not fit, or memory is short.
void *SdxOpen(sdx_param p);
// Ends one user. A recording close, and the last playback close after a tag was added, write
// the file (to a temporary name, then renamed over it). The users left (0: the handle is
// freed), or -1 without a handle or when the write failed (the handle is still closed).
int SdxClose(void *h, int type);
// Writes the index now, as the close would, and keeps it open: a recorder calls it at start
// and every few seconds, so a killed recorder leaves a valid index. 0, or -1 on failure (the
// file on disk keeps its previous state).
int SdxFlush(void *h);
// Appends an entry; -1 without a handle or when the index is full (or a playback open).
int SdxWriteIndex(void *h, int64_t rec_pos, int rec_sec, int split_index);
// Appends a tag; a full table ignores it. 0, or -1 without a handle.
int SdxSetTag(void *h, unsigned int second);
// The second of tag i, or -1.
int SdxGetTag(void *h, int i_tag);
// *total_sec = the recording's length in seconds; 0, or -1 without a handle.
int SdxGetTotalSec(void *h, int *total_sec);
// 1 while more than one user shares the handle (a recorder and a player), else 0.
int SdxIsRecording(void *h);
// The entry found for a second (binary search, the last probe when no exact match). 0, or -1
// without a handle or entries.
int SdxGetOffsetBySec(void *h, unsigned int sec, int *split_i, int64_t *pos);
// The entry found for a byte position, likewise. 0, or -1 without a handle or entries.
int SdxGetSecByOffset(void *h, int64_t pos, unsigned int *sec);
// A copy of entry i; 0, or -1.
int SdxGetIndexByI(void *h, s_index *index, int i);
// What the index of a recording says, from the open handle or the file. 0 also when the file
// is missing or invalid (info is left untouched then); -1 for null arguments.
int SdxGetInfo(const char *sdx_file_name, sdx_file_info *info);
// Copies the first count (at most 128) tag slots; 0, or -1 when they cannot be read.
int SdxGetTagList(const char *sdx_file_name, unsigned int *list, int count);

// --- pieces exposed for tests and the recorder ---

// Sum of the bytes, each 0-255, modulo 2^32.
uint32_t do_chcsum(const uint8_t *data, int64_t size);
// 1 for a valid index file, 0 for one that is invalid or cannot be read, -1 when it is missing
// or shorter than the header.
int is_valid_file(const char *sdx_file_name);
// The name without its extension: cut at the last "." after the last "/".
void get_base_record_name(const char *sdx_file_name, char *base_record_name, int size);
// The summed sizes of "BASE00.ts", "BASE01.ts", … up to the first missing one.
int64_t calc_total_size(const char *base_name);
// The 24-bit second of an entry.
unsigned int sdx_entry_second(const s_index *e);
