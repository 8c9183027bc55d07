// The main window against a recording double of the engine's function table (the window's only
// way to the engine): the records it hands to each setter, the order of its calls, the status
// poll, the board command on a real UDP socket, and the sizing of the video area. Offscreen Qt;
// every test has its own empty data directory.
#include "debug_capture.h"
#include "offscreen_app.h"
#include "jsncfg.h"
#include "mainwindow.h"
#include "quorvexapi.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

static void PrintTo(const QString &s, std::ostream *os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

// What the double saw. Texts handed over in records are copied at once: the window frees its
// copies right after each set call.
struct Recorded {
    std::vector<std::string> calls;
    quorvex_setup_t open_setup = {};
    streaming_setup_t streaming = {};
    std::string rtsp_url, rtsp_sdp, rtmp_url, rtmp_sdp, data_file;
    data_setup_t data = {};
    encryption_setup_t encryption = {};
    record_setup_t record = {};
    int stabilizer = -1;
    unsigned int log_bits = 0;
    video_event_callback_t video_cb = nullptr;
    void *video_cb_param = nullptr;
    quorvex_info_t info = {}; // what the poll reads
};
Recorded *rec = nullptr;

std::string text(const char *s) {
    return s ? s : "(null)";
}

quorvex_t make_table() {
    quorvex_t t = {};
    t.Quorvex_open = [](quorvex_setup_t s, quorvex_handle_t *h) {
        rec->calls.push_back("open");
        rec->open_setup = s;
        *h = 0x51;
        return 0;
    };
    t.Quorvex_close = [](quorvex_handle_t) { rec->calls.push_back("close"); };
    t.Quorvex_stop = [](quorvex_handle_t, int bits) {
        rec->calls.push_back("stop " + std::to_string(bits));
    };
    t.Quorvex_start = [](quorvex_handle_t, int bits) {
        rec->calls.push_back("start " + std::to_string(bits));
        return 0;
    };
    t.Quorvex_set_streaming_param = [](quorvex_handle_t, streaming_setup_t s) {
        rec->calls.push_back("streaming");
        rec->streaming = s;
        rec->rtsp_url = text(s.rtsp_url);
        rec->rtsp_sdp = text(s.rtsp_sdp);
        rec->rtmp_url = text(s.rtmp_url);
        rec->rtmp_sdp = text(s.rtmp_sdp);
        return 0;
    };
    t.Quorvex_set_encryption_param = [](quorvex_handle_t, encryption_setup_t e) {
        rec->calls.push_back("encryption");
        rec->encryption = e;
        return 0;
    };
    t.Quorvex_set_record_param = [](quorvex_handle_t, record_setup_t r) {
        rec->calls.push_back("record");
        rec->record = r;
        return 0;
    };
    t.Quorvex_set_data_param = [](quorvex_handle_t, data_setup_t d) {
        rec->calls.push_back("data");
        rec->data = d;
        rec->data_file = text(d.file_name);
        return 0;
    };
    t.Quorvex_switch_dispatch = [](quorvex_handle_t, int src) {
        rec->calls.push_back("switch " + std::to_string(src));
        return 0;
    };
    t.Quorvex_get_info = [](quorvex_handle_t, quorvex_info_t *info, int) { *info = rec->info; };
    t.Quorvex_set_log_bits = [](quorvex_handle_t, unsigned int bits) {
        rec->calls.push_back("log_bits");
        rec->log_bits = bits;
    };
    t.Quorvex_set_video_event_callback = [](quorvex_handle_t, video_event_callback_t cb,
                                            void *param) {
        rec->calls.push_back("video_callback");
        rec->video_cb = cb;
        rec->video_cb_param = param;
    };
    t.Quorvex_set_stabilizer = [](quorvex_handle_t, stabilizer_params_t p) {
        rec->calls.push_back("stabilizer");
        rec->stabilizer = p.state;
    };
    t.Quorvex_set_hw_acc = [](quorvex_handle_t, int on) {
        rec->calls.push_back("hw_acc " + std::to_string(on));
        return 0;
    };
    return t;
}

// Resets the window's process-wide state, points XDG_DATA_HOME at a private directory and
// installs the double (or no engine at all).
class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(home_.isValid());
        qputenv("XDG_DATA_HOME", (home_.path() + "/data").toUtf8());
        rec = &recorded_;
        table_ = make_table();
        m_quorvex = &table_;
        m_VidDisp = 0;
        m_info = {};
        isStream = isRecord = isPlayback = isStreamPlayback = 0;
        active_app = STREAMING_APP;
        board_addr = 0;
        tx_soxket = 0;
        g_log_state = 0;
        width_screen = 720;
        height_screen = 576;
        isOut = 1;
    }
    void TearDown() override {
        window_.reset();
        m_quorvex = nullptr;
        rec = nullptr;
    }
    MainWindow &window() {
        if (!window_)
            window_ = std::make_unique<MainWindow>();
        return *window_;
    }
    networkCfg &net() {
        window();
        return *m_mpCfg->p_networkCfg;
    }
    template <class T> T *get(const char *name) {
        T *w = window().findChild<T *>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    bool ai_menu_visible() { return get<QMenu>("menuAi_Encoder")->menuAction()->isVisible(); }
    // The calls after opening and binding the instance.
    std::vector<std::string> calls_since_open() {
        std::vector<std::string> c = recorded_.calls;
        auto it = std::find(c.begin(), c.end(), "video_callback");
        return it == c.end() ? c : std::vector<std::string>(it + 1, c.end());
    }

    QTemporaryDir home_;
    Recorded recorded_;
    quorvex_t table_ = {};
    std::unique_ptr<MainWindow> window_;
};

TEST_F(WindowTest, OpensTheInstanceOnceOnTheVideoFrame) {
    net().hw_acc = 0;
    m_mpCfg->p_videoCfg->stabilizer_state = 2;
    ASSERT_EQ(window().init_vid_app(), 0);
    ASSERT_EQ(window().init_vid_app(), 0);
    EXPECT_EQ(recorded_.calls, (std::vector<std::string>{"open", "stabilizer", "video_callback"}));
    EXPECT_EQ(recorded_.open_setup.flags, 4);
    EXPECT_EQ(recorded_.open_setup.self_draw, 0);
    EXPECT_EQ((uintptr_t)recorded_.open_setup.hwnd, (uintptr_t)get<QFrame>("playerFrame")->winId());
    EXPECT_NE(recorded_.open_setup.hwnd, nullptr);
    EXPECT_EQ(recorded_.open_setup.width, 0);
    EXPECT_EQ(recorded_.open_setup.height, 0);
    EXPECT_EQ(recorded_.open_setup.hw_acc, 0);
    EXPECT_EQ(recorded_.stabilizer, 2);
    EXPECT_EQ(recorded_.video_cb_param, &window());
}

TEST_F(WindowTest, EveryInputKindMapsToItsProtocol) {
    struct Case {
        int ts, rtsp_mode, protocol;
        bool rtp_errors, ai_menu;
    } cases[] = {
        {networkCfg::TRANSPORT, 0, Protocol_UDPTS, false, false},
        {networkCfg::RTP, 0, Protocol_RTPUDP, true, false},
        {networkCfg::SPLIT, 0, Protocol_Split, false, false},
        {networkCfg::RTSP, networkCfg::RTSP_UDP, Protocol_RTSPUDP, false, false},
        {networkCfg::RTSP, networkCfg::RTSP_TCP, Protocol_RTSPTCP, false, false},
        {networkCfg::ROW_H265, 0, Protocol_RAW_H265, false, true},
        {networkCfg::ROW_H264, 0, Protocol_RAW_H264, false, false},
        {networkCfg::RTMP, 0, Protocol_RTMP, false, false},
        {networkCfg::PRIVATE, 0, Protocol_PRIVATE, false, false},
        {42, 0, Protocol_PRIVATE, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("ts " + std::to_string(c.ts));
        net().ts = c.ts;
        net().rtsp_mode = c.rtsp_mode;
        recorded_.calls.clear();
        ASSERT_EQ(window().init_video(), 0);
        EXPECT_EQ(recorded_.streaming.protocol, c.protocol);
        EXPECT_EQ(get<QAction>("actionRTP_Errors")->isEnabled(), c.rtp_errors);
        EXPECT_EQ(ai_menu_visible(), c.ai_menu);
        // Texts for servers go only with the kinds that use them.
        EXPECT_EQ(recorded_.rtsp_url != "(null)", c.ts == networkCfg::RTSP);
        EXPECT_EQ(recorded_.rtmp_url != "(null)", c.ts == networkCfg::RTMP);
    }
}

TEST_F(WindowTest, StreamingRecordsCarryTheConfiguration) {
    networkCfg &n = net();
    n.ts = networkCfg::TRANSPORT;
    n.port = 5004;
    n.sync_delay = 120;
    n.reorder_frames = 8;
    n.handle_errors = 2;
    n.rtp_payload_type = 1;
    n.is_deinterlace = 1;
    n.is_encryp = 1;
    n.key_len = 5;
    memcpy(n.enc_key, "k\0e\xffy", 5);
    stream_data_save &d = *m_mpCfg->p_stream_data;
    d.is_save_by_file = 1;
    d.is_send_by_eth = 1;
    d.ip = "10.1.2.3";
    d.port = 7000;
    d.file_name = "/tmp/klv.bin";
    g_log_state = 0x5;

    struct Case {
        int mode;
        unsigned int expected_group;
    } cases[] = {{networkCfg::MULTICAST, 0xEF010203u}, {networkCfg::UNICAST, 0u}};
    for (const Case &c : cases) {
        SCOPED_TRACE("mode " + std::to_string(c.mode));
        n.mode = c.mode;
        n.ip = "239.1.2.3"; // a group address even in unicast mode
        recorded_.calls.clear();
        ASSERT_EQ(window().init_video(), 0);
        const streaming_setup_t &s = recorded_.streaming;
        EXPECT_EQ(s.multicast_addr, c.expected_group);
        EXPECT_EQ(s.port, 5004);
        EXPECT_EQ(s.delay_frame_ms, 120);
        EXPECT_EQ(s.reorder_frames, 8);
        EXPECT_EQ(s.dropseq_mode, 2);
        EXPECT_EQ(s.rtp_payload_type, 1);
        EXPECT_EQ(s.deinterlace_flag, 1);
        EXPECT_EQ(s.analize_mode + s.src_app + s.hw_acc + s.fec_mode + s.dst_port, 0);
        EXPECT_EQ(s.dst_ip, 0u);
    }
    EXPECT_EQ(recorded_.data.is_save_by_file, 1);
    EXPECT_EQ(recorded_.data.is_send_by_eth, 1);
    EXPECT_EQ(recorded_.data.ip, 0x0A010203u);
    EXPECT_EQ(recorded_.data.port, 7000);
    EXPECT_EQ(recorded_.data_file, "/tmp/klv.bin");
    EXPECT_EQ(recorded_.encryption.is_encryption, 1);
    EXPECT_EQ(recorded_.encryption.len, 5);
    EXPECT_EQ(memcmp(recorded_.encryption.key, "k\0e\xffy", 5), 0);
    EXPECT_EQ(recorded_.log_bits, 0x5u);
    // Setters first, then the running stream is stopped and started again.
    EXPECT_EQ(calls_since_open(), (std::vector<std::string>{"data", "streaming", "encryption",
                                                            "stop 4", "start 4", "log_bits"}));
    EXPECT_FALSE(get<QLabel>("symbole")->isVisibleTo(&window()));
    EXPECT_FALSE(get<QLabel>("app_name_lbl")->isVisibleTo(&window()));
}

TEST_F(WindowTest, ServerAddressesWithAndWithoutCredentials) {
    struct Case {
        int ts;
        const char *user, *password, *expected_url;
    } cases[] = {
        {networkCfg::RTSP, "", "", "10.0.0.5"},
        {networkCfg::RTSP, "admin", "", "10.0.0.5"},
        {networkCfg::RTSP, "", "secret", "10.0.0.5"},
        {networkCfg::RTSP, "admin", "secret", "admin:secret@10.0.0.5"},
        // Characters with a meaning in URLs are percent-encoded; the server gets them as typed.
        {networkCfg::RTSP, "op@site", "p:w/d%?", "op%40site:p%3Aw%2Fd%25%3F@10.0.0.5"},
        {networkCfg::RTMP, "", "", "10.0.0.9"},
        {networkCfg::RTMP, "admin", "secret", "admin:secret@10.0.0.9"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.user) + "/" + c.password);
        networkCfg &n = net();
        n.ts = c.ts;
        n.rtsp_url = "10.0.0.5";
        n.rtsp_sdp = "cam.sdp";
        n.rtsp_serial_port = 8554;
        n.rtmp_url = "10.0.0.9";
        n.rtmp_sdp = "key1";
        n.rtmp_port = 1935;
        n.rtsp_userName = c.user;
        n.rtsp_password = c.password;
        ASSERT_EQ(window().init_video(), 0);
        if (c.ts == networkCfg::RTSP) {
            EXPECT_EQ(recorded_.rtsp_url, c.expected_url);
            EXPECT_EQ(recorded_.rtsp_sdp, "cam.sdp");
            EXPECT_EQ(recorded_.streaming.rtsp_port, 8554);
        } else {
            EXPECT_EQ(recorded_.rtmp_url, c.expected_url);
            EXPECT_EQ(recorded_.rtmp_sdp, "key1");
            EXPECT_EQ(recorded_.streaming.rtmp_port, 1935);
        }
    }
}

TEST_F(WindowTest, CredentialsTooLongForTheUrlBufferStartNothing) {
    networkCfg &n = net();
    n.ts = networkCfg::RTSP;
    n.rtsp_url = "10.0.0.5";
    n.rtsp_userName = "admin";
    n.rtsp_password = QString(200, 'x'); // 5 + 1 + 200 + 1 + 8 = 215 bytes fit in 224
    ASSERT_EQ(window().init_video(), 0);
    EXPECT_EQ(recorded_.rtsp_url.size(), 215u);

    n.rtsp_password = QString(70, '/'); // each becomes %2F: 5 + 1 + 210 + 1 + 8 > 223
    recorded_.calls.clear();
    EXPECT_EQ(window().init_video(), -1);
    EXPECT_TRUE(recorded_.calls.empty());
}

TEST_F(WindowTest, RecordingFromTheStart) {
    QTemporaryDir dir;
    net().is_recording = 1;
    m_mpCfg->p_recordCfg->directory_path = dir.path();
    m_mpCfg->p_recordCfg->trick_mode = 1;
    ASSERT_EQ(window().init_video(), 0);
    EXPECT_EQ(calls_since_open(),
              (std::vector<std::string>{"data", "streaming", "encryption", "record", "stop 4",
                                        "start 12", "log_bits"}));
    EXPECT_EQ(std::string(recorded_.record.directory_path), dir.path().toStdString());
    EXPECT_EQ(recorded_.record.is_trick_mode, 1);
    EXPECT_EQ(recorded_.record.file_name, nullptr);
}

TEST_F(WindowTest, RecordButtonFollowsWhatRuns) {
    QTemporaryDir dir;
    window();
    m_mpCfg->p_recordCfg->directory_path = dir.path();
    QPushButton *record = get<QPushButton>("Record");

    // Nothing streams: one start carries streaming and recording.
    record->click();
    EXPECT_EQ(calls_since_open(),
              (std::vector<std::string>{"data", "streaming", "encryption", "record", "stop 4",
                                        "start 12", "log_bits"}));

    // Recording in live display: the poll starts the blinking; Record stops only the recording.
    recorded_.info.action_bit = 12;
    window().get_action_info();
    EXPECT_EQ(isStream, 1);
    EXPECT_EQ(isRecord, 1);
    recorded_.calls.clear();
    record->click();
    EXPECT_EQ(recorded_.calls, (std::vector<std::string>{"stop 8"}));

    // Streaming without recording: Record starts the recording alone.
    recorded_.info.action_bit = 4;
    window().get_action_info();
    recorded_.calls.clear();
    record->click();
    EXPECT_EQ(recorded_.calls, (std::vector<std::string>{"record", "start 8", "log_bits"}));
}

TEST_F(WindowTest, StopAllStopsEverythingAndReturnsToLiveDisplay) {
    ASSERT_EQ(window().init_video(), 0);
    recorded_.calls.clear();
    get<QPushButton>("stop")->click();
    EXPECT_EQ(recorded_.calls, (std::vector<std::string>{"stop 12", "stop 3", "switch 0"}));
    EXPECT_FALSE(get<QAction>("actionRTP_Errors")->isEnabled());
}

TEST_F(WindowTest, PollDrivesTheIndicators) {
    net().ts = networkCfg::RTSP;
    net().rtsp_serial_port = 8554;
    ASSERT_EQ(window().init_vid_app(), 0);
    QPushButton *pause = get<QPushButton>("pause"), *play = get<QPushButton>("playButton");

    recorded_.info.action_bit = 4;
    recorded_.info.inp_width = 1280;
    recorded_.info.inp_height = 720;
    window().get_action_info();
    EXPECT_TRUE(pause->isVisibleTo(&window()));
    EXPECT_FALSE(play->isVisibleTo(&window()));
    EXPECT_EQ(get<QLabel>("Port_lbl")->text(), QString("Port:8554"));
    EXPECT_EQ(get<QLabel>("streaming_on")->styleSheet(), QString("color:#00ff00"));
    EXPECT_EQ(width_screen, 1280);
    EXPECT_EQ(height_screen, 720);

    // Recording bit without streaming does not count as recording.
    recorded_.info.action_bit = 8;
    window().get_action_info();
    EXPECT_EQ(isStream, 0);
    EXPECT_EQ(isRecord, 0);

    recorded_.info.action_bit = 0;
    window().get_action_info();
    EXPECT_FALSE(pause->isVisibleTo(&window()));
    EXPECT_TRUE(play->isVisibleTo(&window()));
    EXPECT_EQ(get<QLabel>("streaming_on")->styleSheet(), QString("color:#888888"));
}

TEST_F(WindowTest, WithoutTheEngineEveryActionStopsAtTheNotice) {
    m_quorvex = nullptr;
    QLabel *notice = nullptr;
    for (QLabel *l : window().findChildren<QLabel *>())
        if (l->text() == "          Library loading failed!")
            notice = l;
    ASSERT_NE(notice, nullptr);
    EXPECT_FALSE(get<QLabel>("symbole")->isVisibleTo(&window()));
    EXPECT_EQ(window().init_video(), -1);
    EXPECT_TRUE(notice->isVisibleTo(&window()));
    get<QPushButton>("playButton")->click();
    get<QPushButton>("stop")->click();
    window().get_action_info();
    EXPECT_EQ(m_VidDisp, 0u);
    EXPECT_TRUE(recorded_.calls.empty());
}

TEST_F(WindowTest, TheEnginesVideoEventReachesTheGuiThread) {
    ASSERT_EQ(window().init_vid_app(), 0);
    ASSERT_NE(recorded_.video_cb, nullptr);
    std::thread engine([&] { recorded_.video_cb(recorded_.video_cb_param, 1920, 1080); });
    engine.join();
    // Queued: nothing changes until the GUI thread handles its events.
    EXPECT_EQ(width_screen, 720);
    QApplication::processEvents();
    EXPECT_EQ(width_screen, 1920);
    EXPECT_EQ(height_screen, 1080);
}

// A UDP socket bound to 127.0.0.1:port, closed by the destructor.
struct UdpListener {
    explicit UdpListener(int port) {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound = bind(fd, (sockaddr *)&a, sizeof(a)) == 0;
    }
    ~UdpListener() { close(fd); }
    // One datagram within timeout_ms; empty when none came.
    std::vector<unsigned char> receive(int timeout_ms) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1)
            return {};
        unsigned char buf[64];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        return n > 0 ? std::vector<unsigned char>(buf, buf + n) : std::vector<unsigned char>{};
    }
    int fd;
    bool bound;
};

// Writes the board address into the configuration file before the window reads it.
void set_board_ip(const char *ip) {
    Config cfg;
    cfg.load_cfg();
    cfg.p_board_ip->ip = ip;
    cfg.p_board_ip->write();
}

// One test for every board case: they share the fixed command port.
TEST_F(WindowTest, BoardCommands) {
    UdpListener board(BOARD_CMD_PORT);
    ASSERT_TRUE(board.bound) << "udp port 3100 is taken";
    set_board_ip("127.0.0.1");
    EXPECT_EQ(window().set_streaming_opertion(1), 6);
    EXPECT_EQ(board.receive(2000),
              (std::vector<unsigned char>{0xA5, 0x2B, 0xD3, 0x02, 0x00, 0x01}));
    EXPECT_EQ(window().set_streaming_opertion(0), 6);
    EXPECT_EQ(board.receive(2000),
              (std::vector<unsigned char>{0xA5, 0x2B, 0xD2, 0x02, 0x00, 0x00}));

    // "0" converts to no address: the socket opens but nothing is sent. Empty: no socket.
    struct Case {
        const char *ip;
        bool socket_opened;
    } cases[] = {{"0", true}, {"", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ip);
        window_.reset();
        tx_soxket = 0;
        board_addr = 0;
        set_board_ip(c.ip);
        EXPECT_EQ(window().set_streaming_opertion(1), 0);
        EXPECT_EQ(tx_soxket != 0, c.socket_opened);
        EXPECT_TRUE(board.receive(200).empty());
    }
}

// The window shown with a central area of exactly w x h and a control bar of `bar` pixels.
void shape_window(MainWindow &w, int cw, int ch, int bar) {
    QFrame *gray = w.findChild<QFrame *>("grayFrm");
    gray->resize(gray->width(), bar);
    w.show();
    QWidget *central = w.centralWidget();
    for (int i = 0; i < 3 && central->size() != QSize(cw, ch); i++) {
        w.resize(w.width() + cw - central->width(), w.height() + ch - central->height());
        w.layout()->activate();
        QApplication::processEvents();
    }
    ASSERT_EQ(central->size(), QSize(cw, ch));
}

TEST_F(WindowTest, VideoAreaFollowsTheSizeMode) {
    shape_window(window(), 1000, 700, 60);
    QFrame *frame = get<QFrame>("playerFrame");

    // Fit to Window (the default): scaled into 1000x640 with the aspect kept.
    window().imp_video_frame_size(1920, 1080);
    EXPECT_EQ(frame->geometry(), QRect(0, 39, 1000, 562));

    // Hiding the bar lets the frame grow by the bar's height.
    window().findChild<QPushButton *>("inBtn")->click();
    EXPECT_EQ(frame->geometry(), QRect(0, 69, 1000, 562));
    EXPECT_FALSE(get<QFrame>("grayFrm")->isVisibleTo(&window()));
    window().findChild<QPushButton *>("outBtn")->click();
    EXPECT_EQ(frame->geometry(), QRect(0, 39, 1000, 562));

    // Native size: both modes unticked; centred and clipped on every side.
    get<QAction>("actionFit_to_Window")->setChecked(false);
    window().resizePlayer();
    EXPECT_EQ(frame->geometry(), QRect(-460, -220, 1920, 1080));
}

TEST_F(WindowTest, NarrowWindowsHideTheActionGroup) {
    shape_window(window(), 500, 400, 100);
    window().resizePlayer();
    EXPECT_FALSE(get<QFrame>("action_group")->isVisibleTo(&window()));
    EXPECT_GE(get<QFrame>("play_speed")->x(), 260);
    shape_window(window(), 900, 600, 100);
    window().resizePlayer();
    EXPECT_TRUE(get<QFrame>("action_group")->isVisibleTo(&window()));
}

} // namespace
