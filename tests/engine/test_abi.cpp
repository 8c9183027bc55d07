// The engine library as any third-party program meets it: loaded with dlopen, reached through
// quorvex_get_handle and the table, and the flat exports.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "quorvexapi.h"

namespace {

// Record layouts are part of the boundary: natural alignment, fields in the published order.
static_assert(sizeof(quorvex_handle_t) == 8);
static_assert(offsetof(quorvex_setup_t, hwnd) == 8 && sizeof(quorvex_setup_t) == 32);
static_assert(offsetof(playback_setup_t, is_cyclic) == 200 &&
              offsetof(playback_setup_t, loop_playback) == 240 && sizeof(playback_setup_t) == 244);
static_assert(offsetof(streaming_setup_t, rtsp_url) == 16 &&
              offsetof(streaming_setup_t, rtmp_sdp) == 56 &&
              offsetof(streaming_setup_t, deinterlace_flag) == 104 &&
              sizeof(streaming_setup_t) == 112);
static_assert(offsetof(encryption_setup_t, len) == 260 && sizeof(encryption_setup_t) == 264);
static_assert(offsetof(record_setup_t, file_name) == 200 &&
              offsetof(record_setup_t, is_trick_mode) == 220 && sizeof(record_setup_t) == 224);
static_assert(offsetof(data_setup_t, file_name) == 16 && sizeof(data_setup_t) == 24);
static_assert(offsetof(ai_enc_stills_info_t, stills_path) == 8);
static_assert(sizeof(playback_event_t) == 20);
static_assert(offsetof(player_sdx_status, full_file_name) == 36 &&
              sizeof(player_sdx_status) == 236);
static_assert(offsetof(get_stream_info, src_ip_addr) == 64 && sizeof(get_stream_info) == 68);
static_assert(offsetof(quorvex_info_t, get_strm_info) == 16 &&
              offsetof(quorvex_info_t, player_info) == 84 &&
              offsetof(quorvex_info_t, record_info) == 320 &&
              offsetof(quorvex_info_t, pb_stream_info) == 336 && sizeof(quorvex_info_t) == 344);
static_assert(sizeof(quorvex_t) == 40 * sizeof(void *));
static_assert(offsetof(quorvex_t, Quorvex_get_dll_ver) == 16 * sizeof(void *));
static_assert(offsetof(quorvex_t, Quorvex_set_jitterFlag_to_quorvex_ai_enc) == 39 * sizeof(void *));

class EngineAbi : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        setenv("ALSOFT_DRIVERS", "null", 1); // sound plays into OpenAL's null device
        // RTLD_NODELETE keeps the library and its dependencies mapped after dlclose, so the leak
        // checker can still see what their globals hold (and name the frames if it finds a leak).
        lib_ = dlopen(QUORVEX_LIBRARY, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        ASSERT_NE(lib_, nullptr) << dlerror();
        get_handle_ = reinterpret_cast<quorvex_get_handle_t>(dlsym(lib_, "quorvex_get_handle"));
        ASSERT_NE(get_handle_, nullptr);
        q_ = get_handle_();
    }
    static void TearDownTestSuite() {
        if (lib_)
            dlclose(lib_);
    }
    template <typename F> static F sym(const char *name) {
        void *p = dlsym(lib_, name);
        EXPECT_NE(p, nullptr) << name;
        return reinterpret_cast<F>(p);
    }
    static quorvex_handle_t open_headless() {
        quorvex_setup_t setup = {};
        quorvex_handle_t h = 0;
        EXPECT_EQ(q_->Quorvex_open(setup, &h), 0);
        EXPECT_NE(h, 0u);
        return h;
    }

    static void *lib_;
    static quorvex_get_handle_t get_handle_;
    static quorvex_t *q_;
};
void *EngineAbi::lib_;
quorvex_get_handle_t EngineAbi::get_handle_;
quorvex_t *EngineAbi::q_;

TEST_F(EngineAbi, EntryPointReturnsOneCompleteTable) {
    ASSERT_NE(q_, nullptr);
    EXPECT_EQ(get_handle_(), q_);
    void *const *slots = reinterpret_cast<void *const *>(q_);
    for (int i = 0; i < 40; i++)
        EXPECT_NE(slots[i], nullptr) << "slot " << i;
}

TEST_F(EngineAbi, ConstantEntries) {
    int version = 0;
    q_->Quorvex_get_dll_ver(&version);
    EXPECT_EQ(version, 260368);
    version = 0;
    sym<void (*)(int *)>("quorvex_get_dll_ver_cs")(&version);
    EXPECT_EQ(version, 260368);
    EXPECT_EQ(q_->Quorvex_get_action(), 0);
    EXPECT_EQ(sym<int (*)()>("quorvex_get_action_cs")(), 0);
    EXPECT_EQ(q_->Quorvex_get_rtp_err(0), 0);
    q_->Quorvex_reset_rtp_err(0);
    EXPECT_EQ(q_->Quorvex_get_rtp_err(0), 0);
    q_->Quorvex_register_vm(nullptr);
}

TEST_F(EngineAbi, NullHandleEntriesDoNothing) {
    EXPECT_EQ(q_->Quorvex_start(0, 4), -1);
    EXPECT_EQ(sym<int (*)(quorvex_handle_t, int)>("quorvex_start_cs")(0, 4), 0);
    q_->Quorvex_stop(0, 255);
    q_->Quorvex_register_user_overlay(0, nullptr, nullptr);
    q_->Quorvex_register_stream_callback(0, nullptr, nullptr);
    q_->Quorvex_register_data_callback(0, nullptr, nullptr);
    q_->Quorvex_setup_port(0, 5000);
    EXPECT_EQ(q_->Quorvex_switch_dispatch(0, 1), -1);
    q_->Quorvex_set_stabilizer(0, stabilizer_params_t{1});
    stabilizer_params_t stab = {7};
    EXPECT_EQ(q_->Quorvex_get_stabilizer(0, &stab), -1);
    EXPECT_EQ(stab.state, 7);
    EXPECT_EQ(q_->Quorvex_get_stabilizer_alg_cnt(0), -1);

    quorvex_info_t info;
    memset(&info, 0x5A, sizeof(info));
    q_->Quorvex_get_info(0, &info, 1);
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&info);
    for (size_t i = 0; i < sizeof(info); i++)
        ASSERT_EQ(bytes[i], 0x5A) << "byte " << i;

    // The rest need an open handle; given none they refuse instead of failing later.
    EXPECT_EQ(q_->Quorvex_set_hw_acc(0, 1), -1);
    EXPECT_EQ(q_->Quorvex_read_data(0, nullptr, nullptr), 0);
    EXPECT_EQ(q_->Quorvex_get_tag_by_i(0, 0), -1);
    q_->Quorvex_close(0);
}

// Handles are independent: closing them in any order closes exactly the one named, whichever
// was opened last.
TEST_F(EngineAbi, HandlesCloseInAnyOrder) {
    auto open_cs = sym<int (*)(quorvex_setup_t *, quorvex_handle_t *)>("quorvex_open_cs");
    auto close_cs = sym<void (*)(quorvex_handle_t)>("quorvex_close_cs");
    const std::vector<std::vector<int>> orders = {{0, 1, 2}, {2, 1, 0}, {1, 0, 2}};
    for (const std::vector<int> &order : orders) {
        quorvex_handle_t h[3] = {};
        for (quorvex_handle_t &one : h) {
            quorvex_setup_t setup = {};
            ASSERT_EQ(open_cs(&setup, &one), 0);
            ASSERT_NE(one, 0u);
        }
        for (size_t k = 0; k < order.size(); k++) {
            close_cs(h[order[k]]);
            // The handles still open keep working.
            for (size_t j = k + 1; j < order.size(); j++) {
                quorvex_info_t info = {};
                q_->Quorvex_get_info(h[order[j]], &info, 0);
                EXPECT_EQ(info.active_app, OTHER_APP);
            }
        }
    }
}

TEST_F(EngineAbi, ReadFrameWritesNothing) {
    int w = -7, h = -8;
    unsigned char buffer[16];
    memset(buffer, 0xAB, sizeof(buffer));
    auto read_frame =
        sym<int (*)(quorvex_handle_t, int *, int *, unsigned char *)>("quorvex_read_frame_cs");
    EXPECT_EQ(read_frame(0, &w, &h, buffer), 0);
    EXPECT_EQ(w, -7);
    EXPECT_EQ(h, -8);
    EXPECT_EQ(buffer[0], 0xAB);
    EXPECT_EQ(buffer[15], 0xAB);
}

// A one-second 16-bit mono WAV of silence.
std::string write_wav() {
    std::string path = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/qv_abi.wav";
    const int rate = 8000, samples = rate / 10;
    std::vector<unsigned char> data(44 + samples * 2, 0);
    auto put32 = [&](int off, unsigned v) { memcpy(&data[off], &v, 4); };
    auto put16 = [&](int off, unsigned short v) { memcpy(&data[off], &v, 2); };
    memcpy(&data[0], "RIFF", 4);
    put32(4, 36 + samples * 2);
    memcpy(&data[8], "WAVEfmt ", 8);
    put32(16, 16);
    put16(20, 1);
    put16(22, 1);
    put32(24, rate);
    put32(28, rate * 2);
    put16(32, 2);
    put16(34, 16);
    memcpy(&data[36], "data", 4);
    put32(40, samples * 2);
    FILE *f = fopen(path.c_str(), "wb");
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
    return path;
}

TEST_F(EngineAbi, PlaySound) {
    char missing[] = "/nonexistent/sound.wav";
    EXPECT_EQ(q_->Quorvex_play_sound(missing, 10), -1);
    std::string wav = write_wav();
    EXPECT_EQ(q_->Quorvex_play_sound(wav.data(), 50), 0);
    remove(wav.c_str());
}

TEST_F(EngineAbi, OpenHandleControls) {
    quorvex_handle_t h = open_headless();
    EXPECT_EQ(q_->Quorvex_get_stabilizer_alg_cnt(h), 2);
    q_->Quorvex_set_stabilizer(h, stabilizer_params_t{1});
    stabilizer_params_t stab = {};
    EXPECT_EQ(q_->Quorvex_get_stabilizer(h, &stab), 0);
    EXPECT_EQ(stab.state, 1);

    // An audio index equal to the number of streams is refused.
    int count = q_->Quorvex_get_audio_ch_count(h);
    q_->Quorvex_set_active_audio_ch(h, count);
    EXPECT_EQ(q_->Quorvex_get_active_audio_ch(h), 0);

    // Protocols that cannot start (unknown, or not received by this build): the start fails
    // and nothing reads as running.
    streaming_setup_t s = {};
    for (int protocol : {(int)Protocol_PRIVATE, (int)Protocol_Split, (int)Protocol_RAW_H265, 10}) {
        s.protocol = protocol;
        EXPECT_EQ(q_->Quorvex_set_streaming_param(h, s), 0);
        EXPECT_EQ(q_->Quorvex_start(h, 4), -1) << protocol;
        EXPECT_EQ(q_->Quorvex_start(h, 12), -1) << protocol;
        quorvex_info_t info = {};
        q_->Quorvex_get_info(h, &info, 0);
        EXPECT_EQ(info.action_bit & 4, 0) << protocol;
        q_->Quorvex_stop(h, 4);
        q_->Quorvex_get_info(h, &info, 0);
        EXPECT_EQ(info.action_bit, 0);
    }
    q_->Quorvex_close(h);
}

} // namespace
