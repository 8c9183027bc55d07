// The recording index: its file layout byte for byte, the files it refuses, tags, look-ups, the
// shared registry and writes that fail.
#include <gtest/gtest.h>

#include <string.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "qvtest.h"
#include "tm_api.h"

namespace {

std::vector<uint8_t> read_bytes(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)),
                                std::istreambuf_iterator<char>());
}

void write_bytes(const std::string &path, const std::vector<uint8_t> &b) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(b.data()), (std::streamsize)b.size());
}

uint32_t le32(const std::vector<uint8_t> &b, size_t at) {
    return (uint32_t)b[at] | ((uint32_t)b[at + 1] << 8) | ((uint32_t)b[at + 2] << 16) |
           ((uint32_t)b[at + 3] << 24);
}

void put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++)
        b[at + i] = (uint8_t)(v >> (8 * i));
}

// Sets the checksum of a file image to match its bytes.
void seal(std::vector<uint8_t> &b) {
    put32(b, 0, do_chcsum(b.data() + 4, (int64_t)b.size() - 4));
}

sdx_param param(int type, const std::string &name, int capacity = 0) {
    sdx_param p = {};
    p.type = type;
    snprintf(p.sdx_file_name, sizeof(p.sdx_file_name), "%s", name.c_str());
    p.index_count = capacity;
    return p;
}

class Sdx : public ::testing::Test {
  protected:
    std::string path(const std::string &name) const { return dir_.file(name); }
    // Records entries (position, second) and tags into NAME and closes it.
    void record(const std::string &name, const std::vector<std::pair<int64_t, int>> &entries,
                const std::vector<unsigned> &tags = {}) {
        void *h = SdxOpen(param(RECORDING_OPEN, path(name), 100));
        ASSERT_NE(h, nullptr);
        for (const auto &e : entries)
            ASSERT_EQ(SdxWriteIndex(h, e.first, e.second, 0), 0);
        for (unsigned t : tags)
            ASSERT_EQ(SdxSetTag(h, t), 0);
        ASSERT_EQ(SdxClose(h, RECORDING_OPEN), 0);
    }
    qvtest::TempDir dir_;
};

TEST_F(Sdx, EmptyRecordingIsTheBareHeaderWithItsChecksum) {
    record("empty.sdx", {});
    std::vector<uint8_t> b = read_bytes(path("empty.sdx"));
    ASSERT_EQ(b.size(), 1536u);
    EXPECT_EQ(le32(b, 0), do_chcsum(b.data() + 4, 1532));
    EXPECT_EQ(le32(b, 4), 0u);  // revision
    EXPECT_EQ(le32(b, 8), 0u);  // tags
    EXPECT_EQ(le32(b, 12), 0u); // entries
    EXPECT_EQ(is_valid_file(path("empty.sdx").c_str()), 1);
}

TEST_F(Sdx, FileLayoutByteForByte) {
    const int64_t above_4g = (5ll << 32) + 0x1234;
    record("rec.sdx", {{0, 0}, {188 * 100, 1}, {above_4g, 0x012345}}, {7, 0x01020304});
    std::vector<uint8_t> b = read_bytes(path("rec.sdx"));
    ASSERT_EQ(b.size(), 1536u + 3 * 12);
    EXPECT_EQ(le32(b, 0), do_chcsum(b.data() + 4, (int64_t)b.size() - 4));
    EXPECT_EQ(le32(b, 8), 2u);         // tags_count
    EXPECT_EQ(le32(b, 12), 3u);        // index_count
    EXPECT_EQ(le32(b, 104), 0x12345u); // duration: the last entry's second
    EXPECT_EQ(le32(b, 1024), 7u);
    EXPECT_EQ(le32(b, 1028), 0x020304u); // a second has 24 bits
    const size_t e2 = 1536 + 24;
    EXPECT_EQ(le32(b, e2), 0x1234u);
    EXPECT_EQ(le32(b, e2 + 4), 5u) << "all 64 bits of the position";
    EXPECT_EQ(b[e2 + 8], 0); // block
    EXPECT_EQ(b[e2 + 9], 0x45);
    EXPECT_EQ(b[e2 + 10], 0x23);
    EXPECT_EQ(b[e2 + 11], 0x01);

    void *h = SdxOpen(param(PLAYBACK_OPEN, path("rec.sdx")));
    ASSERT_NE(h, nullptr);
    int total = 0;
    EXPECT_EQ(SdxGetTotalSec(h, &total), 0);
    EXPECT_EQ(total, 0x12345);
    int64_t pos = -1;
    int split = -1;
    EXPECT_EQ(SdxGetOffsetBySec(h, 0x12345, &split, &pos), 0);
    EXPECT_EQ(pos, above_4g);
    unsigned sec = 99;
    EXPECT_EQ(SdxGetSecByOffset(h, 188 * 100, &sec), 0);
    EXPECT_EQ(sec, 1u);
    s_index e = {};
    EXPECT_EQ(SdxGetIndexByI(h, &e, 2), 0);
    EXPECT_EQ(e.offset, (uint64_t)above_4g);
    EXPECT_EQ(SdxGetIndexByI(h, &e, 3), -1);
    EXPECT_EQ(SdxClose(h, PLAYBACK_OPEN), 0);
}

TEST_F(Sdx, RefusedFiles) {
    record("good.sdx", {{0, 0}, {1000, 1}});
    const std::vector<uint8_t> good = read_bytes(path("good.sdx"));
    struct Case {
        const char *name;
        std::vector<uint8_t> bytes;
        int valid;
    };
    std::vector<Case> cases;
    cases.push_back({"1023 bytes", std::vector<uint8_t>(1023, 0), -1});
    std::vector<uint8_t> short_header(1100, 0);
    seal(short_header);
    cases.push_back({"shorter than the tag table", short_header, 0});
    std::vector<uint8_t> changed = good;
    changed[1540] ^= 1;
    cases.push_back({"a changed byte", changed, 0});
    std::vector<uint8_t> many_tags = good;
    put32(many_tags, 8, 129);
    seal(many_tags);
    cases.push_back({"129 tags", many_tags, 0});
    std::vector<uint8_t> negative = good;
    put32(negative, 12, 0xFFFFFFFFu);
    seal(negative);
    cases.push_back({"negative entry count", negative, 0});
    std::vector<uint8_t> too_many = good;
    put32(too_many, 12, 3);
    seal(too_many);
    cases.push_back({"more entries than the file holds", too_many, 0});
    for (const Case &c : cases) {
        std::string name = path("bad.sdx");
        write_bytes(name, c.bytes);
        EXPECT_EQ(is_valid_file(name.c_str()), c.valid) << c.name;
        EXPECT_EQ(SdxOpen(param(PLAYBACK_OPEN, name)), nullptr) << c.name;
        unsigned tags[4];
        EXPECT_EQ(SdxGetTagList(name.c_str(), tags, 4), -1) << c.name;
        sdx_file_info info = {};
        info.seconds = 77;
        EXPECT_EQ(SdxGetInfo(name.c_str(), &info), 0) << c.name;
        EXPECT_EQ(info.seconds, 77) << "left untouched: " << c.name;
    }
    EXPECT_EQ(SdxOpen(param(PLAYBACK_OPEN, path("missing.sdx"))), nullptr);
    EXPECT_EQ(is_valid_file(path("missing.sdx").c_str()), -1);
}

TEST_F(Sdx, TagTableHolds128) {
    void *h = SdxOpen(param(RECORDING_OPEN, path("tags.sdx"), 10));
    ASSERT_NE(h, nullptr);
    for (unsigned i = 0; i < 129; i++)
        EXPECT_EQ(SdxSetTag(h, i + 1), 0);
    EXPECT_EQ(SdxGetTag(h, 127), 128);
    EXPECT_EQ(SdxGetTag(h, 128), -1);
    EXPECT_EQ(SdxGetTag(h, -1), -1);
    std::vector<unsigned> list(200, 0xAAAAAAAA);
    EXPECT_EQ(SdxGetTagList(path("tags.sdx").c_str(), list.data(), 200), 0) << "open: the image";
    EXPECT_EQ(list[127], 128u);
    EXPECT_EQ(list[128], 0xAAAAAAAAu) << "at most 128 copied";
    EXPECT_EQ(SdxClose(h, RECORDING_OPEN), 0);
    std::vector<uint8_t> b = read_bytes(path("tags.sdx"));
    EXPECT_EQ(le32(b, 8), 128u);
    list.assign(200, 0xAAAAAAAA);
    EXPECT_EQ(SdxGetTagList(path("tags.sdx").c_str(), list.data(), 200), 0) << "closed: the file";
    EXPECT_EQ(list[0], 1u);
    EXPECT_EQ(list[128], 0xAAAAAAAAu);

    void *p = SdxOpen(param(PLAYBACK_OPEN, path("tags.sdx")));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(SdxGetTag(p, 128), -1);
    EXPECT_EQ(SdxGetTag(p, 0), 1);
    EXPECT_EQ(SdxClose(p, PLAYBACK_OPEN), 0);
}

TEST_F(Sdx, LookUps) {
    record("look.sdx", {{0, 0}, {100, 2}, {250, 5}, {400, 9}});
    void *h = SdxOpen(param(PLAYBACK_OPEN, path("look.sdx")));
    ASSERT_NE(h, nullptr);
    struct Case {
        unsigned sec;
        int64_t pos;
    } by_sec[] = {{0, 0}, {2, 100}, {5, 250}, {9, 400}};
    for (const Case &c : by_sec) {
        int64_t pos = -1;
        int split = -1;
        EXPECT_EQ(SdxGetOffsetBySec(h, c.sec, &split, &pos), 0) << c.sec;
        EXPECT_EQ(pos, c.pos) << c.sec;
    }
    for (const Case &c : by_sec) {
        unsigned sec = 99;
        EXPECT_EQ(SdxGetSecByOffset(h, c.pos, &sec), 0);
        EXPECT_EQ(sec, c.sec) << c.pos;
    }
    EXPECT_EQ(SdxClose(h, PLAYBACK_OPEN), 0);

    record("none.sdx", {});
    h = SdxOpen(param(PLAYBACK_OPEN, path("none.sdx")));
    ASSERT_NE(h, nullptr);
    int64_t pos = 0;
    int split = 0;
    unsigned sec = 0;
    EXPECT_EQ(SdxGetOffsetBySec(h, 0, &split, &pos), -1) << "no entries";
    EXPECT_EQ(SdxGetOffsetBySec(h, 3, &split, &pos), -1);
    EXPECT_EQ(SdxGetSecByOffset(h, 0, &sec), -1);
    EXPECT_EQ(SdxClose(h, PLAYBACK_OPEN), 0);
}

TEST_F(Sdx, RecorderAndPlayersShareOneHandle) {
    const std::string a = path("a.sdx"), b = path("b.sdx");
    record("b.sdx", {{0, 0}});
    void *rec = SdxOpen(param(RECORDING_OPEN, a, 100));
    ASSERT_NE(rec, nullptr);
    void *play = SdxOpen(param(PLAYBACK_OPEN, a));
    EXPECT_EQ(play, rec) << "the player joins the recording";
    EXPECT_EQ(SdxIsRecording(play), 1);
    void *other = SdxOpen(param(PLAYBACK_OPEN, b));
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other, rec);
    EXPECT_EQ(SdxClose(other, PLAYBACK_OPEN), 0);
    EXPECT_EQ(SdxWriteIndex(rec, 0, 0, 0), 0);
    EXPECT_EQ(SdxWriteIndex(rec, 500, 3, 0), 0);
    int total = 0;
    SdxGetTotalSec(play, &total);
    EXPECT_EQ(total, 3) << "the player sees the recording grow";
    EXPECT_EQ(SdxClose(play, PLAYBACK_OPEN), 1);
    EXPECT_EQ(SdxIsRecording(rec), 0);
    EXPECT_EQ(SdxClose(rec, RECORDING_OPEN), 0);
    EXPECT_EQ(is_valid_file(a.c_str()), 1);

    // Two players: only the last close writes, and only when a tag was added.
    void *p1 = SdxOpen(param(PLAYBACK_OPEN, a));
    void *p2 = SdxOpen(param(PLAYBACK_OPEN, a));
    ASSERT_NE(p1, nullptr);
    EXPECT_EQ(p1, p2);
    EXPECT_EQ(SdxSetTag(p1, 2), 0);
    EXPECT_EQ(SdxClose(p1, PLAYBACK_OPEN), 1);
    EXPECT_EQ(le32(read_bytes(a), 8), 0u) << "not written by the first close";
    EXPECT_EQ(SdxClose(p2, PLAYBACK_OPEN), 0);
    EXPECT_EQ(le32(read_bytes(a), 8), 1u) << "the tag written by the last";
    struct stat before, after;
    ASSERT_EQ(stat(a.c_str(), &before), 0);
    void *p3 = SdxOpen(param(PLAYBACK_OPEN, a));
    std::vector<uint8_t> bytes = read_bytes(a);
    EXPECT_EQ(SdxClose(p3, PLAYBACK_OPEN), 0);
    ASSERT_EQ(stat(a.c_str(), &after), 0);
    EXPECT_EQ(read_bytes(a), bytes);
    EXPECT_EQ(before.st_ino, after.st_ino) << "no tag, no write";
}

TEST_F(Sdx, FlushWritesAWholeIndexAndAFailedWriteKeepsTheOld) {
    const std::string name = path("live.sdx");
    void *h = SdxOpen(param(RECORDING_OPEN, name, 100));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(SdxWriteIndex(h, 0, 0, 0), 0);
    EXPECT_EQ(SdxFlush(h), 0);
    EXPECT_EQ(is_valid_file(name.c_str()), 1);
    std::vector<uint8_t> first = read_bytes(name);
    EXPECT_EQ(le32(first, 12), 1u);
    // The temporary name taken by a directory: the write fails, the old index stays.
    ASSERT_EQ(mkdir((name + ".tmp").c_str(), 0700), 0);
    EXPECT_EQ(SdxWriteIndex(h, 100, 1, 0), 0);
    EXPECT_EQ(SdxFlush(h), -1);
    EXPECT_EQ(read_bytes(name), first);
    EXPECT_EQ(SdxClose(h, RECORDING_OPEN), -1) << "a close that cannot write says so";
    EXPECT_EQ(read_bytes(name), first);
    EXPECT_EQ(is_valid_file(name.c_str()), 1);
}

TEST_F(Sdx, InfoFromTheOpenHandleAndFromTheFile) {
    const std::string name = path("cam.sdx");
    std::vector<uint8_t> segment(5000, 0x47);
    write_bytes(path("cam00.ts"), segment);
    write_bytes(path("cam01.ts"), std::vector<uint8_t>(3000, 0x47));
    void *h = SdxOpen(param(RECORDING_OPEN, name, 100));
    ASSERT_NE(h, nullptr);
    SdxWriteIndex(h, 0, 0, 0);
    SdxWriteIndex(h, 100, 4, 0);
    SdxSetTag(h, 3);
    sdx_file_info info = {};
    EXPECT_EQ(SdxGetInfo(name.c_str(), &info), 0);
    EXPECT_EQ(info.flag, (1 << HAS_INDEX) | (1 << BUSY));
    EXPECT_EQ(info.seconds, 4);
    EXPECT_EQ(info.sizeKB, 8000);
    EXPECT_EQ(info.tag_count, 1);
    EXPECT_EQ(info.index_count, 2);
    EXPECT_EQ(SdxClose(h, RECORDING_OPEN), 0);
    info = {};
    EXPECT_EQ(SdxGetInfo(name.c_str(), &info), 0);
    EXPECT_EQ(info.flag, 1 << HAS_INDEX);
    EXPECT_EQ(info.seconds, 4);
    EXPECT_EQ(info.sizeKB, 8000);
    EXPECT_EQ(info.index_count, 2);
}

TEST(SdxNames, BaseNameComesFromTheExtension) {
    struct Case {
        const char *name, *base;
    } cases[] = {{"/rec/2026.12.11/cam.sdx", "/rec/2026.12.11/cam"},
                 {"cam.sdx", "cam"},
                 {"/rec.d/noext", "/rec.d/noext"},
                 {"./x.sdx", "./x"},
                 {".hidden", ".hidden"}};
    for (const Case &c : cases) {
        char base[SDX_NAME_MAX];
        get_base_record_name(c.name, base, sizeof(base));
        EXPECT_STREQ(base, c.base) << c.name;
    }
}

TEST_F(Sdx, LongNamesAreKeptWholeOrRefused) {
    std::string longer = path(std::string(150, 'n') + ".sdx");
    ASSERT_LT(longer.size(), (size_t)SDX_NAME_MAX);
    record(std::string(150, 'n') + ".sdx", {{0, 0}});
    EXPECT_EQ(is_valid_file(longer.c_str()), 1) << "written under its whole name";
    sdx_param p = param(RECORDING_OPEN, "", 10);
    memset(p.sdx_file_name, 'x', sizeof(p.sdx_file_name)); // no terminator
    EXPECT_EQ(SdxOpen(p), nullptr);
}

TEST_F(Sdx, FullRegistryLeavesANewHandleUnshared) {
    std::vector<void *> open;
    for (int i = 0; i < SDX_REGISTRY_SIZE + 1; i++) {
        void *h = SdxOpen(param(RECORDING_OPEN, path("r" + std::to_string(i) + ".sdx"), 4));
        ASSERT_NE(h, nullptr);
        open.push_back(h);
    }
    // The eleventh is not in the registry: a player does not find it (and no file exists yet).
    EXPECT_EQ(SdxOpen(param(PLAYBACK_OPEN, path("r10.sdx"))), nullptr);
    void *tenth = SdxOpen(param(PLAYBACK_OPEN, path("r9.sdx")));
    EXPECT_EQ(tenth, open[9]);
    EXPECT_EQ(SdxClose(tenth, PLAYBACK_OPEN), 1);
    for (void *h : open)
        EXPECT_EQ(SdxClose(h, RECORDING_OPEN), 0);
    EXPECT_EQ(is_valid_file(path("r10.sdx").c_str()), 1);
}

TEST(SdxHandles, NullAndStaleHandlesAreRefused) {
    EXPECT_EQ(SdxClose(nullptr, RECORDING_OPEN), -1);
    EXPECT_EQ(SdxWriteIndex(nullptr, 0, 0, 0), -1);
    EXPECT_EQ(SdxSetTag(nullptr, 0), -1);
    EXPECT_EQ(SdxGetTag(nullptr, 0), -1);
    int total = 0;
    EXPECT_EQ(SdxGetTotalSec(nullptr, &total), -1);
    EXPECT_EQ(SdxIsRecording(nullptr), 0);
    EXPECT_EQ(SdxGetInfo(nullptr, nullptr), -1);
    EXPECT_EQ(SdxGetTagList("x", nullptr, 0), 0);
    unsigned list[1];
    EXPECT_EQ(SdxGetTagList("x", list, -1), -1);
}

} // namespace
