// The player's command line: which values start a stream, what they change in the
// configuration (memory only), and the window size and position options.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

#include "quorvexapi.h"

#include "jsncfg.h"
#include "mainwindow.h"

namespace {

class QtApp : public ::testing::Environment {
  public:
    void SetUp() override { app = std::make_unique<QCoreApplication>(argc, argv); }
    void TearDown() override { app.reset(); }

  private:
    int argc = 1;
    char name[32] = "player_cmdline_tests";
    char *argv[2] = {name, nullptr};
    std::unique_ptr<QCoreApplication> app;
};
[[maybe_unused]] ::testing::Environment *const qt_app =
    ::testing::AddGlobalTestEnvironment(new QtApp);

// A fresh configuration in a private data directory, in multicast mode on group 239.9.9.9.
class CommandLineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(home_.isValid());
        qputenv("XDG_DATA_HOME", (home_.path() + "/data").toUtf8());
        cfg_ = std::make_unique<Config>();
        cfg_->p_networkCfg->mode = networkCfg::MULTICAST;
        cfg_->p_networkCfg->ip = "239.9.9.9";
    }
    CommandLine run(std::vector<std::string> args) {
        args.insert(args.begin(), "tavelo_player64");
        argv_.clear();
        for (std::string &a : args)
            argv_.push_back(a.data());
        return parse_command_line((int)argv_.size(), argv_.data(), cfg_->p_networkCfg,
                                  cfg_->p_recordCfg);
    }
    networkCfg *net() { return cfg_->p_networkCfg; }

    QTemporaryDir home_;
    std::unique_ptr<Config> cfg_;
    std::vector<char *> argv_;
};

TEST_F(CommandLineTest, UrlFormsAndNearMisses) {
    struct Case {
        const char *url;
        bool start;
        int ts, rtsp_mode, mode, port;
        const char *ip, *rtsp_url, *rtsp_sdp;
    } cases[] = {
        {"rtsp-tcp://@10.0.0.5:554/live.sdp", true, networkCfg::RTSP, 1, 0, 554, "239.9.9.9",
         "10.0.0.5", "live.sdp"},
        {"rtsp-udp://@10.0.0.5:8554/cam.sdp", true, networkCfg::RTSP, 0, 0, 8554, "239.9.9.9",
         "10.0.0.5", "cam.sdp"},
        // Address, port and description are taken; nothing starts.
        {"rtsp-xyz://@10.0.0.5:554/live.sdp", false, networkCfg::RTSP, 0, 0, 554, "239.9.9.9",
         "10.0.0.5", "live.sdp"},
        // The configured multicast mode and group stay.
        {"ts://@:1234", true, networkCfg::TRANSPORT, 0, 0, 1234, "239.9.9.9", "0.0.0.0",
         "mux1.sdp"},
        {"ts://@239.1.1.1:5000", true, networkCfg::TRANSPORT, 0, 0, 5000, "239.1.1.1", "0.0.0.0",
         "mux1.sdp"},
        {"udp://@:1234", false, networkCfg::TRANSPORT, 0, 0, 1234, "239.9.9.9", "0.0.0.0",
         "mux1.sdp"},
        {"ts://@:", false, networkCfg::TRANSPORT, 0, 0, 1234, "239.9.9.9", "0.0.0.0", "mux1.sdp"},
        {"ts:/@:1234", false, networkCfg::TRANSPORT, 0, 0, 1234, "239.9.9.9", "0.0.0.0",
         "mux1.sdp"},
        {"rtsp-tcp://@10.0.0.5:554/nodot", false, networkCfg::TRANSPORT, 0, 0, 1234, "239.9.9.9",
         "0.0.0.0", "mux1.sdp"},
    };
    for (const Case &c : cases) {
        SetUp();
        CommandLine cl = run({"-url", c.url});
        EXPECT_EQ(cl.start, c.start) << c.url;
        EXPECT_EQ(net()->ts, c.ts) << c.url;
        EXPECT_EQ(net()->rtsp_mode, c.rtsp_mode) << c.url;
        EXPECT_EQ(net()->mode, c.mode) << c.url;
        EXPECT_EQ(net()->port, c.port) << c.url;
        EXPECT_EQ(net()->ip, QString(c.ip)) << c.url;
        EXPECT_EQ(net()->rtsp_url, QString(c.rtsp_url)) << c.url;
        EXPECT_EQ(net()->rtsp_sdp, QString(c.rtsp_sdp)) << c.url;
    }
}

TEST_F(CommandLineTest, OptionValuesAndTheirAbsence) {
    char a[] = "x", b[] = "-url", c[] = "ts://@:1";
    char *argv[] = {a, b, c};
    EXPECT_STREQ(getCmdOption(argv, argv + 3, "-url"), "ts://@:1");
    EXPECT_EQ(getCmdOption(argv, argv + 2, "-url"), nullptr); // last argument: no value
    EXPECT_EQ(getCmdOption(argv, argv + 3, "-size"), nullptr);

    CommandLine cl = run({"-url"});
    EXPECT_FALSE(cl.start);
    EXPECT_EQ(net()->port, 1234);
}

TEST_F(CommandLineTest, SizeAndPositionStartNothing) {
    CommandLine cl = run({"-pos", "10,20", "-size", "800x600"});
    EXPECT_FALSE(cl.start);
    ASSERT_TRUE(cl.resize);
    EXPECT_EQ(cl.size, QSize(800, 600));
    ASSERT_TRUE(cl.move);
    EXPECT_EQ(cl.pos, QPoint(10, 20));
    cl = run({"-size", "big", "-pos", "left"});
    EXPECT_FALSE(cl.resize);
    EXPECT_FALSE(cl.move);
}

TEST_F(CommandLineTest, RecordDirectoryOnlyWithAStream) {
    QString dir = home_.path() + "/rec";
    CommandLine cl = run({"-rec", dir.toStdString()});
    EXPECT_FALSE(cl.start);
    EXPECT_FALSE(QDir(dir).exists());
    EXPECT_EQ(net()->is_recording, 0);

    cl = run({"-rec", dir.toStdString(), "-url", "ts://@:5000"});
    EXPECT_TRUE(cl.start);
    EXPECT_TRUE(QDir(dir).exists()); // created, one level
    EXPECT_EQ(cfg_->p_recordCfg->directory_path, dir);
    EXPECT_EQ(net()->is_recording, 1);

    SetUp();
    QString deep = home_.path() + "/no/such/levels";
    cl = run({"-url", "ts://@:5000", "-rec", deep.toStdString()});
    EXPECT_TRUE(cl.start); // the stream still starts, without recording
    EXPECT_EQ(net()->is_recording, 0);
}

TEST_F(CommandLineTest, NothingIsWrittenToTheFile) {
    run({"-url", "rtsp-tcp://@10.0.0.5:554/live.sdp", "-size", "800x600"});
    EXPECT_FALSE(QFile::exists(cfg_->file_name));
}

} // namespace
