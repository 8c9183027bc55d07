#include "tm_api.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits.h>

#include <string>

#include "syslog.h"

// Lock order: registry_lock, then a handle's index_semaphore, then its tag_semaphore.

namespace {

pthread_mutex_t registry_lock = PTHREAD_MUTEX_INITIALIZER;
sdx_file *handle_list[SDX_REGISTRY_SIZE];

sdx_file *as_handle(void *h) {
    sdx_file *f = static_cast<sdx_file *>(h);
    return f && f->majic == MAJIC ? f : nullptr;
}

header_information *header(sdx_file *f) {
    return &f->p_index->header;
}

// The entries behind the header.
s_index *entries(sdx_file *f) {
    return reinterpret_cast<s_index *>(reinterpret_cast<uint8_t *>(f->p_index) + SDX_IMAGE_HEADER);
}

int entry_count(sdx_file *f) {
    return OS_AtomicGet(&header(f)->index_count);
}

// Copies a name that must fit whole with its terminator; false when it does not.
bool copy_name(char *dst, const char *src) {
    size_t len = strnlen(src, SDX_NAME_MAX);
    if (len == 0 || len >= SDX_NAME_MAX)
        return false;
    memcpy(dst, src, len + 1);
    return true;
}

// The open handle of a name, or null. Called with registry_lock held.
sdx_file *get_handle(const char *name) {
    for (sdx_file *f : handle_list) {
        if (!f)
            continue;
        OS_WaitSemaphore(f->index_semaphore);
        bool same = strcmp(f->sdx_file_name, name) == 0;
        OS_SetSemaphore(f->index_semaphore);
        if (same)
            return f;
    }
    return nullptr;
}

// Puts the handle into the first free slot; a full registry leaves it unregistered (it works,
// but cannot be shared). Called with registry_lock held.
void register_handle(sdx_file *f) {
    f->i_handle = -1;
    for (int i = 0; i < SDX_REGISTRY_SIZE; i++) {
        if (!handle_list[i]) {
            handle_list[i] = f;
            f->i_handle = i;
            return;
        }
    }
}

int64_t file_size(const char *name) {
    struct stat st;
    return stat(name, &st) == 0 ? (int64_t)st.st_size : -1;
}

// Reads an index file whole and checks it: the checksum, the counts, and a size that holds
// the entries. 1 with *image (the caller frees it) and *size set; 0 for a file that is invalid
// or cannot be read; -1 for one that is missing or shorter than the header.
int read_index_file(const char *name, uint8_t **image, int64_t *size) {
    *image = nullptr;
    int64_t n = file_size(name);
    if (n < SDX_HEADER_SIZE)
        return -1;
    if (n < SDX_IMAGE_HEADER || n > (int64_t)SDX_IMAGE_HEADER + 12ll * INT_MAX)
        return 0;
    FILE *file = fopen(name, "rb");
    if (!file)
        return 0;
    uint8_t *buf = static_cast<uint8_t *>(malloc((size_t)n));
    bool read = buf && fread(buf, 1, (size_t)n, file) == (size_t)n;
    fclose(file);
    const header_information *h = reinterpret_cast<const header_information *>(buf);
    bool valid = read && h->checksum == do_chcsum(buf + 4, n - 4) && h->tags_count >= 0 &&
                 h->tags_count <= SDX_TAGS_COUNT && h->index_count >= 0 &&
                 n >= (int64_t)SDX_IMAGE_HEADER + 12ll * h->index_count;
    if (!valid) {
        free(buf);
        return 0;
    }
    *image = buf;
    *size = n;
    return 1;
}

sdx_file *new_handle(const char *name) {
    sdx_file *f = static_cast<sdx_file *>(calloc(1, sizeof(sdx_file)));
    if (!f)
        return nullptr;
    if (!copy_name(f->sdx_file_name, name)) {
        free(f);
        return nullptr;
    }
    get_base_record_name(f->sdx_file_name, f->base_name, SDX_NAME_MAX);
    f->index_semaphore = OS_AllocSemaphore();
    f->tag_semaphore = OS_AllocSemaphore();
    f->reader_count = 1;
    f->majic = MAJIC;
    return f;
}

void free_handle(sdx_file *f) {
    if (!f)
        return;
    f->majic = 0;
    OS_DeleteSemaphore(f->index_semaphore);
    OS_DeleteSemaphore(f->tag_semaphore);
    free(f->p_index);
    free(f);
}

void *open_recording(const sdx_param &p) {
    if (p.index_count < 0)
        return nullptr;
    sdx_file *f = new_handle(p.sdx_file_name);
    if (!f)
        return nullptr;
    f->max_index = p.index_count;
    f->p_index =
        static_cast<file_index_t *>(calloc(1, SDX_IMAGE_HEADER + 12 * (size_t)p.index_count));
    if (!f->p_index || !f->index_semaphore || !f->tag_semaphore) {
        free_handle(f);
        return nullptr;
    }
    pthread_mutex_lock(&registry_lock);
    register_handle(f);
    pthread_mutex_unlock(&registry_lock);
    return f;
}

// Joins the open index of the name, or reads the file. Called with registry_lock held.
void *open_playback(const sdx_param &p) {
    if (sdx_file *open = get_handle(p.sdx_file_name)) {
        OS_WaitSemaphore(open->index_semaphore);
        open->reader_count++;
        OS_SetSemaphore(open->index_semaphore);
        return open;
    }
    uint8_t *image = nullptr;
    int64_t size = 0;
    if (read_index_file(p.sdx_file_name, &image, &size) != 1)
        return nullptr;
    sdx_file *f = new_handle(p.sdx_file_name);
    if (!f || !f->index_semaphore || !f->tag_semaphore) {
        free_handle(f);
        free(image);
        return nullptr;
    }
    f->p_index = reinterpret_cast<file_index_t *>(image);
    f->sec = f->p_index->header.duration;
    register_handle(f);
    return f;
}

// Writes the index as it is now: the header with its counts and checksum, then the entries,
// to "NAME.tmp", renamed over NAME, so the file on disk is always a whole index. Called with
// index_semaphore held (the entries cannot change meanwhile). 0, or -1.
int write_snapshot(sdx_file *f) {
    header_information h;
    OS_WaitSemaphore(f->tag_semaphore);
    memcpy(&h, header(f), sizeof(h));
    OS_SetSemaphore(f->tag_semaphore);
    const size_t list_bytes = 12 * (size_t)h.index_count;
    const uint8_t *list = reinterpret_cast<const uint8_t *>(entries(f));
    h.revision = 0;
    h.checksum = do_chcsum(reinterpret_cast<const uint8_t *>(&h) + 4, (int64_t)sizeof(h) - 4) +
                 do_chcsum(list, (int64_t)list_bytes);
    const std::string tmp = std::string(f->sdx_file_name) + ".tmp";
    FILE *file = fopen(tmp.c_str(), "wb");
    bool ok = file && fwrite(&h, 1, sizeof(h), file) == sizeof(h) &&
              (list_bytes == 0 || fwrite(list, 1, list_bytes, file) == list_bytes);
    if (file)
        ok = fclose(file) == 0 && ok;
    ok = ok && rename(tmp.c_str(), f->sdx_file_name) == 0;
    if (!ok) {
        if (file) // only what this write made
            unlink(tmp.c_str());
        syslog_message(syslog_id_decode_error, "index %s not written\n", f->sdx_file_name);
        return -1;
    }
    return 0;
}

// The last probe of a binary search over the entries (lo..hi) by a key of each entry.
template <typename Key, typename KeyOf> int search(sdx_file *f, Key want, KeyOf key_of) {
    int n = entry_count(f);
    if (n <= 0)
        return -1;
    int lo = 0, hi = n - 1, mid = 0;
    while (lo <= hi) {
        mid = (lo + hi) / 2;
        Key k = key_of(&entries(f)[mid]);
        if (k == want)
            break;
        if (want < k)
            hi = mid - 1;
        else
            lo = mid + 1;
    }
    return mid;
}

int clamp_int(int64_t v) {
    return v > INT_MAX ? INT_MAX : (v < 0 ? 0 : (int)v);
}

} // namespace

uint32_t do_chcsum(const uint8_t *data, int64_t size) {
    uint32_t sum = 0;
    for (int64_t i = 0; i < size; i++)
        sum += data[i];
    return sum;
}

int is_valid_file(const char *sdx_file_name) {
    uint8_t *image = nullptr;
    int64_t size = 0;
    int r = read_index_file(sdx_file_name, &image, &size);
    free(image);
    return r;
}

void get_base_record_name(const char *name, char *base, int size) {
    if (size <= 0)
        return;
    snprintf(base, (size_t)size, "%s", name);
    char *slash = strrchr(base, '/');
    char *dot = strrchr(slash ? slash : base, '.');
    if (dot && dot != slash + 1 && dot != base)
        *dot = 0;
}

int64_t calc_total_size(const char *base_name) {
    int64_t total = 0;
    for (int i = 0; i < 100; i++) {
        char name[SDX_NAME_MAX + 8];
        snprintf(name, sizeof(name), "%s%02d.ts", base_name, i);
        int64_t n = file_size(name);
        if (n < 0)
            break;
        total += n;
    }
    return total;
}

unsigned int sdx_entry_second(const s_index *e) {
    return (unsigned)e->second[0] | ((unsigned)e->second[1] << 8) | ((unsigned)e->second[2] << 16);
}

void *SdxOpen(sdx_param p) {
    if (strnlen(p.sdx_file_name, SDX_NAME_MAX) >= SDX_NAME_MAX)
        return nullptr;
    if (p.type == RECORDING_OPEN)
        return open_recording(p);
    if (p.type != PLAYBACK_OPEN)
        return nullptr;
    pthread_mutex_lock(&registry_lock);
    void *h = open_playback(p);
    pthread_mutex_unlock(&registry_lock);
    return h;
}

int SdxClose(void *h, int type) {
    sdx_file *f = as_handle(h);
    if (!f)
        return -1;
    pthread_mutex_lock(&registry_lock);
    OS_WaitSemaphore(f->index_semaphore);
    int left = --f->reader_count;
    bool write = false;
    if (type == RECORDING_OPEN) {
        write = true;
        OS_AtomicSet(&header(f)->duration, OS_AtomicGet(&f->sec));
        header(f)->record_size_kb = clamp_int(calc_total_size(f->base_name));
    } else if (type == PLAYBACK_OPEN) {
        write = left == 0 && OS_AtomicGet(&f->play_modefy_flag);
    }
    int written = 0;
    if (write) {
        written = write_snapshot(f);
        if (written == 0)
            OS_AtomicSet(&f->play_modefy_flag, 0u);
    }
    if (left == 0 && f->i_handle >= 0 && handle_list[f->i_handle] == f)
        handle_list[f->i_handle] = nullptr;
    OS_SetSemaphore(f->index_semaphore);
    pthread_mutex_unlock(&registry_lock);
    if (left == 0)
        free_handle(f);
    return written != 0 ? -1 : left;
}

int SdxFlush(void *h) {
    sdx_file *f = as_handle(h);
    if (!f)
        return -1;
    OS_WaitSemaphore(f->index_semaphore);
    int r = write_snapshot(f);
    OS_SetSemaphore(f->index_semaphore);
    return r;
}

int SdxWriteIndex(void *h, int64_t rec_pos, int rec_sec, int split_index) {
    sdx_file *f = as_handle(h);
    if (!f || !f->p_index)
        return -1;
    OS_WaitSemaphore(f->index_semaphore);
    int n = entry_count(f);
    int r = -1;
    if (n < f->max_index) {
        s_index *e = &entries(f)[n];
        e->offset = (uint64_t)rec_pos;
        e->block = (uint8_t)split_index;
        e->second[0] = (uint8_t)rec_sec;
        e->second[1] = (uint8_t)(rec_sec >> 8);
        e->second[2] = (uint8_t)(rec_sec >> 16);
        OS_AtomicSet(&f->sec, rec_sec);
        OS_AtomicSet(&header(f)->duration, rec_sec);
        OS_AtomicSet(&header(f)->index_count, n + 1); // the entry is whole before it counts
        r = 0;
    }
    OS_SetSemaphore(f->index_semaphore);
    return r;
}

int SdxSetTag(void *h, unsigned int second) {
    sdx_file *f = as_handle(h);
    if (!f)
        return -1;
    OS_WaitSemaphore(f->tag_semaphore);
    int n = OS_AtomicGet(&header(f)->tags_count);
    if (n < SDX_TAGS_COUNT) {
        uint32_t &slot = header(f)->tag_index[n];
        slot = (slot & 0xFF000000u) | (second & 0xFFFFFFu);
        OS_AtomicSet(&header(f)->tags_count, n + 1);
        OS_AtomicSet(&f->play_modefy_flag, 1u);
    }
    OS_SetSemaphore(f->tag_semaphore);
    return 0;
}

int SdxGetTag(void *h, int i_tag) {
    sdx_file *f = as_handle(h);
    if (!f || i_tag < 0 || i_tag >= SDX_TAGS_COUNT || i_tag >= OS_AtomicGet(&header(f)->tags_count))
        return -1;
    return (int)(header(f)->tag_index[i_tag] & 0xFFFFFFu);
}

int SdxGetTotalSec(void *h, int *total_sec) {
    sdx_file *f = as_handle(h);
    if (!f || !total_sec)
        return -1;
    *total_sec = OS_AtomicGet(&header(f)->duration);
    return 0;
}

int SdxIsRecording(void *h) {
    sdx_file *f = as_handle(h);
    if (!f)
        return 0;
    OS_WaitSemaphore(f->index_semaphore);
    int users = f->reader_count;
    OS_SetSemaphore(f->index_semaphore);
    return users > 1 ? 1 : 0;
}

int SdxGetOffsetBySec(void *h, unsigned int sec, int *split_i, int64_t *pos) {
    sdx_file *f = as_handle(h);
    if (!f || !f->p_index || entry_count(f) <= 0)
        return -1;
    if (sec == 0) {
        *pos = (int64_t)entries(f)[0].offset;
        return 0;
    }
    int i = search(f, sec, [](const s_index *e) { return sdx_entry_second(e); });
    if (i < 0)
        return -1;
    *split_i = entries(f)[i].block;
    *pos = (int64_t)entries(f)[i].offset;
    return 0;
}

int SdxGetSecByOffset(void *h, int64_t pos, unsigned int *sec) {
    sdx_file *f = as_handle(h);
    if (!f || !f->p_index || !sec)
        return -1;
    *sec = 0;
    int i = search(f, (uint64_t)pos, [](const s_index *e) { return e->offset; });
    if (i < 0)
        return -1;
    *sec = sdx_entry_second(&entries(f)[i]);
    return 0;
}

int SdxGetIndexByI(void *h, s_index *index, int i) {
    sdx_file *f = as_handle(h);
    if (!f || !index || i < 0 || i >= entry_count(f))
        return -1;
    memcpy(index, &entries(f)[i], sizeof(*index));
    return 0;
}

int SdxGetInfo(const char *name, sdx_file_info *info) {
    if (!name || !info)
        return -1;
    pthread_mutex_lock(&registry_lock);
    if (sdx_file *f = get_handle(name)) {
        OS_WaitSemaphore(f->index_semaphore);
        info->seconds = OS_AtomicGet(&f->sec);
        info->sizeKB = clamp_int(calc_total_size(f->base_name));
        info->flag |= (1 << HAS_INDEX) | (1 << BUSY);
        info->type = TRANSPORT;
        info->tag_count = OS_AtomicGet(&header(f)->tags_count);
        info->index_count = entry_count(f);
        OS_SetSemaphore(f->index_semaphore);
        pthread_mutex_unlock(&registry_lock);
        return 0;
    }
    pthread_mutex_unlock(&registry_lock);
    uint8_t *image = nullptr;
    int64_t size = 0;
    if (read_index_file(name, &image, &size) == 1) {
        const header_information *h = reinterpret_cast<const header_information *>(image);
        info->flag |= 1 << HAS_INDEX;
        info->type = TRANSPORT;
        info->tag_count = h->tags_count;
        info->sizeKB = h->record_size_kb;
        info->seconds = h->duration;
        info->index_count = h->index_count;
    }
    free(image);
    return 0;
}

int SdxGetTagList(const char *name, unsigned int *list, int count) {
    if (count == 0)
        return 0;
    if (!name || !list || count < 0)
        return -1;
    if (count > SDX_TAGS_COUNT)
        count = SDX_TAGS_COUNT;
    pthread_mutex_lock(&registry_lock);
    if (sdx_file *f = get_handle(name)) {
        OS_WaitSemaphore(f->tag_semaphore);
        memcpy(list, header(f)->tag_index, (size_t)count * sizeof(*list));
        OS_SetSemaphore(f->tag_semaphore);
        pthread_mutex_unlock(&registry_lock);
        return 0;
    }
    pthread_mutex_unlock(&registry_lock);
    uint8_t *image = nullptr;
    int64_t size = 0;
    if (read_index_file(name, &image, &size) != 1)
        return -1;
    memcpy(list, reinterpret_cast<const header_information *>(image)->tag_index,
           (size_t)count * sizeof(*list));
    free(image);
    return 0;
}
