// The play handle's setters and info record, checked on the record itself.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "quorvex.h"

namespace {

class PlayHandle : public ::testing::Test {
  protected:
    void SetUp() override {
        quorvex_setup_t setup = {};
        ASSERT_EQ(quorvex_open(setup, &h_), 0);
        p_ = reinterpret_cast<playhandle_t *>(h_);
        ASSERT_NE(p_, nullptr);
    }
    void TearDown() override { quorvex_close(h_); }
    quorvex_handle_t h_ = 0;
    playhandle_t *p_ = nullptr;
};

TEST_F(PlayHandle, OpenDefaults) {
    EXPECT_EQ(p_->sws_flags, 4);
    EXPECT_EQ(p_->display_time, 33);
    EXPECT_EQ(p_->active_app, OTHER_APP);
    EXPECT_EQ(p_->max_display_q, 1);
    EXPECT_EQ(p_->pict_fmt, 26);
    EXPECT_EQ(p_->m_display_pool_size, 10);
    EXPECT_NE(p_->aud_buff, nullptr);
    EXPECT_NE(p_->q_dispacher, nullptr);
    EXPECT_NE(p_->video_analyzer, nullptr);
    EXPECT_NE(p_->vframe_analyzer, nullptr);
}

TEST(PlayHandleOpen, FixedSizeOption) {
    quorvex_setup_t setup = {};
    setup.flags = QUORVEX_FLAG_FIXED_SIZE;
    setup.width = 320;
    setup.height = 240;
    quorvex_handle_t h = 0;
    quorvex_open(setup, &h);
    playhandle_t *p = reinterpret_cast<playhandle_t *>(h);
    EXPECT_EQ(p->pict_width, 320);
    EXPECT_EQ(p->pict_height, 240);
    quorvex_close(h);
}

// A cut name would open another file: the name is kept whole.
TEST_F(PlayHandle, PlaybackFileNameIsKeptWhole) {
    playback_setup_t pb = {};
    memset(pb.file_name, 'f', 100);
    pb.direction = PLAYER_DIR_PREVWARD;
    pb.speed = PLAYER_SPD_X3;
    pb.ip = 0x7F000001;
    pb.port = 6000;
    EXPECT_EQ(quorvex_set_playback_param(h_, pb), 0);
    EXPECT_EQ(std::string(p_->tm_playback_fn), std::string(100, 'f'));
    EXPECT_EQ(p_->tm_dir, PLAYER_DIR_PREVWARD);
    EXPECT_EQ(p_->tm_spd, PLAYER_SPD_X3);
    EXPECT_EQ(p_->playback_stream_params.ip, 0x7F000001u);
    EXPECT_EQ(p_->playback_stream_params.port, 6000);
}

TEST_F(PlayHandle, StreamingSetterDelayFramesAndUrl) {
    char host[] = "10.0.0.5", path[] = "cam/1", key[] = "stream";
    struct Case {
        int protocol;
        int delay_ms;
        int frames;
        const char *url;
    } cases[] = {
        {Protocol_RTSPUDP, 59, 1, "rtsp://10.0.0.5:554/cam/1"},
        {Protocol_RTSPTCP, 60, 2, "rtsp://10.0.0.5:554/cam/1"},
        {Protocol_RTMP, 0, 0, "rtmp://10.0.0.5:1935/live/stream"},
        {Protocol_HTTP, 29, 0, "10.0.0.5"},
    };
    for (const Case &c : cases) {
        streaming_setup_t s = {};
        s.protocol = c.protocol;
        s.delay_frame_ms = c.delay_ms;
        s.rtsp_url = host;
        s.rtsp_sdp = path;
        s.rtsp_port = 554;
        s.rtmp_url = host;
        s.rtmp_sdp = key;
        s.rtmp_port = 1935;
        quorvex_set_streaming_param(h_, s);
        EXPECT_EQ(p_->delay_frame_count, c.frames) << c.protocol;
        ASSERT_NE(p_->url, nullptr);
        EXPECT_STREQ(p_->url, c.url);
    }
}

TEST_F(PlayHandle, UrlKeptWhenPiecesMissing) {
    streaming_setup_t s = {};
    char host[] = "h", path[] = "p";
    s.protocol = Protocol_RTSPUDP;
    s.rtsp_url = host;
    s.rtsp_sdp = path;
    s.rtsp_port = 8554;
    quorvex_set_streaming_param(h_, s);
    s.rtsp_sdp = nullptr;
    quorvex_set_streaming_param(h_, s);
    EXPECT_STREQ(p_->url, "rtsp://h:8554/p");
    s.protocol = Protocol_UDPTS; // builds none: the old one stays
    quorvex_set_streaming_param(h_, s);
    EXPECT_STREQ(p_->url, "rtsp://h:8554/p");
}

TEST_F(PlayHandle, EncryptionKeyLengthIsBounded) {
    encryption_setup_t e = {};
    e.is_encryption = 1;
    memset(e.key, 0x11, sizeof(e.key));
    e.len = 1000;
    quorvex_set_encryption_param(h_, e);
    EXPECT_EQ(p_->key_len, 255);
    e.len = -3;
    quorvex_set_encryption_param(h_, e);
    EXPECT_EQ(p_->key_len, 0);
}

TEST_F(PlayHandle, RecordAndDataSettersCopyTexts) {
    record_setup_t r = {};
    strcpy(r.directory_path, "/rec");
    std::string name = "base";
    r.file_name = name.data();
    r.is_cyclic = 0;
    r.cyclic_time_sec = 60;
    quorvex_set_record_param(h_, r);
    name[0] = 'X';
    EXPECT_STREQ(p_->record_filename, "base");
    EXPECT_STREQ(p_->record_path, "/rec");
    EXPECT_EQ(p_->cyclic_time_sec, 0);
    EXPECT_EQ(p_->setting_record, 1);

    data_setup_t d = {};
    std::string file = "meta.bin";
    d.file_name = file.data();
    quorvex_set_data_param(h_, d);
    file[0] = 'X';
    EXPECT_STREQ(p_->data_file_name, "meta.bin");
}

TEST_F(PlayHandle, InfoResetClearsCountersButNotAnalyserFigures) {
    p_->cur_info.get_strm_info.inp_dec_frame = 42;
    p_->cur_info.get_strm_info.inp_disp_frames = 41;
    uint64_t t = 1000000000;
    for (int i = 0; i < 5; i++)
        tx_analyzer_event_at(p_->vframe_analyzer, t += 40000);

    quorvex_info_t info = {};
    quorvex_get_info(h_, &info, 1);
    EXPECT_EQ(info.get_strm_info.inp_dec_frame, 42);
    EXPECT_EQ(info.get_strm_info.inp_disp_frames, 41);
    EXPECT_EQ(info.get_strm_info.inp_fps, 25);
    EXPECT_EQ(info.active_app, OTHER_APP);

    quorvex_get_info(h_, &info, 0);
    EXPECT_EQ(info.get_strm_info.inp_dec_frame, 0);
    EXPECT_EQ(info.get_strm_info.inp_fps, 25);
}

TEST_F(PlayHandle, FrameRateFromPacketInterval) {
    quorvex_info_t info = {};
    uint64_t t = 1000000000;
    tx_analyzer_event_at(p_->vframe_analyzer, t);
    quorvex_get_info(h_, &info, 0);
    EXPECT_EQ(info.get_strm_info.inp_fps, 0); // one packet is no interval
    for (int i = 0; i < 40; i++)
        tx_analyzer_event_at(p_->vframe_analyzer, t += 30000);
    quorvex_get_info(h_, &info, 0);
    EXPECT_EQ(info.get_strm_info.inp_fps, 33);
}

TEST_F(PlayHandle, StopOfLiveAlsoEndsRecording) {
    streaming_setup_t s = {};
    s.protocol = Protocol_UDPTS;
    quorvex_set_streaming_param(h_, s);
    EXPECT_EQ(quorvex_start(h_, 12), 0);
    EXPECT_EQ(p_->active_action, 12);
    quorvex_stop(h_, 4);
    EXPECT_EQ(p_->active_action, 0);
}

} // namespace
