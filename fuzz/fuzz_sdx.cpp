// Arbitrary bytes as a ".sdx" index file: open it for playback, every read, a tag, the close
// (which writes the tag back), and the file-level queries. The first byte chooses whether the
// checksum is made to match, so that most inputs get past it to the counts and entries.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tm_api.h"

namespace {

std::string temp_name() {
    const char *dir = getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/fuzz_sdx_" + std::to_string(getpid()) + ".sdx";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    static const std::string name = temp_name();
    std::vector<uint8_t> file(data + 1, data + size);
    if ((data[0] & 1) && file.size() >= 4) {
        uint32_t sum = do_chcsum(file.data() + 4, (int64_t)file.size() - 4);
        memcpy(file.data(), &sum, 4);
    }
    FILE *f = fopen(name.c_str(), "wb");
    if (!f)
        return 0;
    if (!file.empty())
        fwrite(file.data(), 1, file.size(), f);
    fclose(f);

    sdx_file_info info = {};
    SdxGetInfo(name.c_str(), &info);
    unsigned tags[SDX_TAGS_COUNT];
    SdxGetTagList(name.c_str(), tags, SDX_TAGS_COUNT);
    sdx_param p = {};
    p.type = PLAYBACK_OPEN;
    snprintf(p.sdx_file_name, sizeof(p.sdx_file_name), "%s", name.c_str());
    void *h = SdxOpen(p);
    if (h) {
        int total = 0;
        SdxGetTotalSec(h, &total);
        SdxIsRecording(h);
        for (int i = -1; i <= SDX_TAGS_COUNT; i++)
            SdxGetTag(h, i);
        s_index e;
        for (int i = 0; SdxGetIndexByI(h, &e, i) == 0; i++) {
            int64_t pos = 0;
            int split = 0;
            unsigned sec = 0;
            SdxGetOffsetBySec(h, sdx_entry_second(&e), &split, &pos);
            SdxGetSecByOffset(h, (int64_t)e.offset, &sec);
        }
        int64_t pos = 0;
        int split = 0;
        SdxGetOffsetBySec(h, (unsigned)total + 1, &split, &pos);
        SdxSetTag(h, (unsigned)total);
        SdxClose(h, PLAYBACK_OPEN);
        remove((name + ".tmp").c_str());
    }
    remove(name.c_str());
    return 0;
}
