// Tests of the player's configuration file: defaults, per-section reads and writes, what the
// file holds, and damaged or unwritable files. Every test runs against its own empty data
// directory; nothing touches the real home.
#include "quorvexapi.h"
#include "debug_capture.h"
#include "jsncfg.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <functional>
#include <ostream>
#include <string>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <vector>

// Readable failure messages for the Qt values compared below.
static std::string json_text(const QJsonValue &v) {
    const QByteArray text = QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact);
    return text.mid(1, text.size() - 2).toStdString();
}
static void PrintTo(const QString &s, std::ostream *os) {
    *os << '"' << s.toStdString() << '"';
}
static void PrintTo(const QJsonValue &v, std::ostream *os) {
    *os << json_text(v);
}
static void PrintTo(const QJsonObject &o, std::ostream *os) {
    *os << json_text(o);
}

namespace {

// The named values are what the file stores; they sit beside the engine's own names.
static_assert(networkCfg::PRIVATE == 0 && networkCfg::TRANSPORT == 1 && networkCfg::RTP == 2 &&
              networkCfg::SPLIT == 3 && networkCfg::RTSP == 4 && networkCfg::ROW_H265 == 5 &&
              networkCfg::ROW_H264 == 6 && networkCfg::RTMP == 7);
static_assert(networkCfg::MULTICAST == 0 && networkCfg::UNICAST == 1);
static_assert(networkCfg::RTSP_UDP == 0 && networkCfg::RTSP_TCP == 1);
static_assert(volumeCfg::VOLUME_OFF == 0 && volumeCfg::VOLUME_ON == 1);
static_assert(AIEncodeCfg::BG_FPS == 0 && AIEncodeCfg::FG_FPS == 1);

// QStandardPaths takes the application name from the application object.
class QtApp : public ::testing::Environment {
  public:
    void SetUp() override { app = std::make_unique<QCoreApplication>(argc, argv); }
    void TearDown() override { app.reset(); }

  private:
    int argc = 1;
    char name[32] = "player_config_tests";
    char *argv[2] = {name, nullptr};
    std::unique_ptr<QCoreApplication> app;
};
[[maybe_unused]] ::testing::Environment *const qt_app =
    ::testing::AddGlobalTestEnvironment(new QtApp);

// One stored field: its section and key in the file, its default, and a value that differs
// from the default and from the other fields of its section.
struct Field {
    QString section;
    QString key;
    QJsonValue def;
    QJsonValue other;
    std::function<QJsonValue(const Config &)> get;
    std::function<void(Config &, const QJsonValue &)> set;
};

template <class T> struct same { using type = T; };

template <class S, class T>
Field field(const char *section, S *Config::*sect, T S::*member, const char *key,
            typename same<T>::type def, typename same<T>::type other) {
    Field f{section, key, QJsonValue(def), QJsonValue(other), nullptr, nullptr};
    f.get = [sect, member](const Config &c) { return QJsonValue((c.*sect)->*member); };
    f.set = [sect, member](Config &c, const QJsonValue &v) {
        if constexpr (std::is_same_v<T, int>)
            (c.*sect)->*member = v.toInt();
        else
            (c.*sect)->*member = v.toString();
    };
    return f;
}

// Every field that the file stores. Called after the fixture has set HOME, since the record
// directory's default depends on it.
std::vector<Field> stored_fields() {
    const QString videos = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
    using C = Config;
    return {
        field("network", &C::p_networkCfg, &networkCfg::ts, "Transport", 1, networkCfg::RTSP),
        field("network", &C::p_networkCfg, &networkCfg::port, "Port", 1234, 5000),
        field("network", &C::p_networkCfg, &networkCfg::mode, "Mode", 1, networkCfg::MULTICAST),
        field("network", &C::p_networkCfg, &networkCfg::rtsp_serial_port, "rtsp_serial_port", 554,
              8554),
        field("network", &C::p_networkCfg, &networkCfg::rtsp_mode, "rtsp_mode", 0,
              networkCfg::RTSP_TCP),
        field("network", &C::p_networkCfg, &networkCfg::is_recording, "do_record", 0, 3),
        field("network", &C::p_networkCfg, &networkCfg::rtmp_port, "rtmp_port", 556, 1935),
        field("network", &C::p_networkCfg, &networkCfg::rtmp_sdp, "rtmp_sdp", "mux1", "live"),
        field("network", &C::p_networkCfg, &networkCfg::rtmp_url, "rtmp_url", "0.0.0.0",
              "10.1.1.1"),
        field("network", &C::p_networkCfg, &networkCfg::ip, "IP", "225.0.0.1", "239.1.1.1"),
        field("network", &C::p_networkCfg, &networkCfg::rtsp_url, "rtsp_url", "0.0.0.0",
              "10.0.0.5"),
        field("network", &C::p_networkCfg, &networkCfg::rtsp_sdp, "rtsp_sdp", "mux1.sdp",
              "cam.sdp"),
        field("network", &C::p_networkCfg, &networkCfg::rtsp_userName, "rtsp_userName", "",
              "operator"),
        field("network", &C::p_networkCfg, &networkCfg::rtsp_password, "rtsp_password", "",
              "s3cret"),
        field("network", &C::p_networkCfg, &networkCfg::hw_acc, "hw_acc", 1, 11),
        field("network", &C::p_networkCfg, &networkCfg::sync_delay, "sync_delay", 0, 250),
        field("network", &C::p_networkCfg, &networkCfg::reorder_frames, "Reorder", 0, 6),
        field("network", &C::p_networkCfg, &networkCfg::rtp_codec, "rtp_codec", 0, 7),
        field("network", &C::p_networkCfg, &networkCfg::handle_errors, "handle_errors", 0, 8),
        field("network", &C::p_networkCfg, &networkCfg::rtp_payload_type, "rtp_payload_type", 0,
              RTP_P_TYPE_STAN82),
        field("network", &C::p_networkCfg, &networkCfg::is_deinterlace, "is_deinterlace", 0, 9),
        field("record", &C::p_recordCfg, &recordCfg::directory_path, "Path", videos,
              "/srv/recordings"),
        field("record", &C::p_recordCfg, &recordCfg::trick_mode, "Trick_mode", 1, 0),
        field("video", &C::p_videoCfg, &videoCfg::stabilizer_state, "stabilizer_state", 0, 2),
        field("volume", &C::p_volume, &volumeCfg::volume_val, "Volume_val", 30, 75),
        field("volume", &C::p_volume, &volumeCfg::volume_on, "Volume_On", 1, volumeCfg::VOLUME_OFF),
        field("playback", &C::p_playbackCfg, &playbackCfg::path, "Path", "/", "/media/clip.ts"),
        field("playback", &C::p_playbackCfg, &playbackCfg::is_trick_mode, "is_trick_mode", 0, 3),
        field("playback", &C::p_playbackCfg, &playbackCfg::direction, "Direction",
              PLAYER_DIR_FORWARD, PLAYER_DIR_PREVWARD),
        field("playback", &C::p_playbackCfg, &playbackCfg::speed, "Speed", PLAYER_SPD_NORMAL,
              PLAYER_SPD_X4),
        field("playback", &C::p_playbackCfg, &playbackCfg::is_stream, "is_stream", 0, 5),
        field("playback", &C::p_playbackCfg, &playbackCfg::ip, "IP", "192.168.0.8", "192.168.1.20"),
        field("playback", &C::p_playbackCfg, &playbackCfg::port, "Port", 1234, 6000),
        field("playback", &C::p_playbackCfg, &playbackCfg::is_display_stream, "is_display_stream",
              0, 7),
        field("playback", &C::p_playbackCfg, &playbackCfg::loop_playback, "loop_playback", 1, 0),
        field("board_ip", &C::p_board_ip, &board_ip::ip, "IP", "0", "192.168.0.50"),
        field("stream_data_save", &C::p_stream_data, &stream_data_save::ip, "IP", "127.0.0.1",
              "10.9.9.9"),
        field("stream_data_save", &C::p_stream_data, &stream_data_save::is_save_by_file, "is_file",
              0, 1),
        field("stream_data_save", &C::p_stream_data, &stream_data_save::is_send_by_eth, "is_eth", 0,
              2),
        field("stream_data_save", &C::p_stream_data, &stream_data_save::file_name, "File_name",
              "/data.bin", "/tmp/klv.bin"),
        field("stream_data_save", &C::p_stream_data, &stream_data_save::port, "Port", 1234, 7000),
        field("stream_data_save", &C::p_stream_data, &stream_data_save::rtp_max_err, "rtp_max_err",
              10, 40),
        field("AI_Encode", &C::p_AIEncodeCfg, &AIEncodeCfg::track_fps, "Track_fps", 0,
              AIEncodeCfg::FG_FPS),
    };
}

const QStringList kSections = {"network",  "record",           "video",    "volume", "playback",
                               "board_ip", "stream_data_save", "AI_Encode"};

// The keys the table gives a section.
QSet<QString> keys_of(const std::vector<Field> &fields, const QString &section) {
    QSet<QString> keys;
    for (const Field &f : fields)
        if (f.section == section)
            keys.insert(f.key);
    return keys;
}

QSet<QString> keys_of(const QJsonObject &obj) {
    const QStringList keys = obj.keys();
    return QSet<QString>(keys.begin(), keys.end());
}

// Each test gets a fresh HOME and data directory.
class ConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(home.isValid());
        qputenv("HOME", home.path().toUtf8());
        qputenv("XDG_DATA_HOME", (home.path() + "/data").toUtf8());
    }

    QString cfg_path() const {
        return home.path() + "/data/" + QCoreApplication::applicationName() + "/lumaro_player.cfg";
    }

    void put_file(const QByteArray &text) const {
        QDir().mkpath(QFileInfo(cfg_path()).path());
        QFile file(cfg_path());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_EQ(file.write(text), text.size());
    }
    void put_file(const QJsonObject &root) const { put_file(QJsonDocument(root).toJson()); }

    QByteArray file_text() const {
        QFile file(cfg_path());
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        return file.readAll();
    }

    QJsonObject file_root() const {
        const QJsonDocument doc = QJsonDocument::fromJson(file_text());
        EXPECT_TRUE(doc.isObject());
        return doc.object();
    }

    QTemporaryDir home;
};

// Throws from both operations, to show that a failing section stops a pass without escaping.
class ThrowingSection : public cfg_list {
  public:
    using cfg_list::cfg_list;
    void read() override { throw std::runtime_error("read"); }
    void write() const override { throw std::runtime_error("write"); }
};

TEST_F(ConfigTest, FreshStartHasDefaultsAndWritesNoFile) {
    const std::vector<Field> fields = stored_fields();
    DebugCapture debug;
    Config c;

    EXPECT_EQ(m_mpCfg, nullptr);
    EXPECT_EQ(c.file_name, cfg_path());
    EXPECT_TRUE(QFileInfo(QFileInfo(cfg_path()).path()).isDir());
    const QRegularExpression path_line("^Config\\.\\d+ " + QRegularExpression::escape(c.file_name) +
                                       "$");
    EXPECT_EQ(debug.lines().filter(path_line).size(), 1) << debug.lines().join('\n').toStdString();

    const QList<cfg_list *> expected = {c.p_networkCfg,  c.p_recordCfg,   c.p_videoCfg,
                                        c.p_volume,      c.p_playbackCfg, c.p_board_ip,
                                        c.p_stream_data, c.p_AIEncodeCfg};
    EXPECT_EQ(c.p_cfg_list, expected);
    ASSERT_EQ(c.p_cfg_list.size(), kSections.size());
    for (int i = 0; i < kSections.size(); ++i) {
        EXPECT_EQ(c.p_cfg_list[i]->key, kSections[i]);
        EXPECT_EQ(c.p_cfg_list[i]->p_cfg, &c);
    }

    for (const Field &f : fields)
        EXPECT_EQ(f.get(c), f.def) << f.section.toStdString() << "/" << f.key.toStdString();
    EXPECT_EQ(c.p_networkCfg->is_encryp, 0);
    EXPECT_EQ(c.p_networkCfg->key_len, 0);
    for (unsigned char byte : c.p_networkCfg->enc_key)
        ASSERT_EQ(byte, 0);

    // Without a file, loading changes nothing, not even fields changed in memory.
    c.p_volume->volume_val = 80;
    EXPECT_EQ(c.load_cfg(), -1);
    EXPECT_FALSE(c.read_cfg());
    EXPECT_EQ(c.p_volume->volume_val, 80);
    EXPECT_FALSE(QFile::exists(cfg_path()));
}

TEST_F(ConfigTest, FirstWriteOnFreshStartStoresOnlyThatSection) {
    Config c;
    c.load_cfg();
    c.p_volume->write();

    const QJsonObject expected{{"volume", QJsonObject{{"Volume_val", 30}, {"Volume_On", 1}}}};
    EXPECT_EQ(file_root(), expected);
    EXPECT_EQ(file_text(), QJsonDocument(expected).toJson(QJsonDocument::Indented));
    EXPECT_EQ(c.json_doc.object(), expected);
}

// The file holds a password: whatever mode an older file had, a save leaves it to its owner.
TEST_F(ConfigTest, SavedFileIsReadableByItsOwnerOnly) {
    Config c;
    c.load_cfg();
    c.p_volume->write();
    const QFileDevice::Permissions owner_only = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    const QFileDevice::Permissions all = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                         QFileDevice::ReadGroup | QFileDevice::ReadOther |
                                         QFileDevice::ReadUser | QFileDevice::WriteUser;
    EXPECT_EQ(QFileInfo(c.file_name).permissions() & all,
              owner_only | QFileDevice::ReadUser | QFileDevice::WriteUser);
    ASSERT_TRUE(QFile::setPermissions(c.file_name, all));
    c.p_volume->volume_val = 55;
    c.p_volume->write();
    EXPECT_EQ(QFileInfo(c.file_name).permissions() & all,
              owner_only | QFileDevice::ReadUser | QFileDevice::WriteUser);
    EXPECT_EQ(file_root().value("volume")["Volume_val"], 55);
}

TEST_F(ConfigTest, EveryStoredFieldSurvivesARoundTrip) {
    const std::vector<Field> fields = stored_fields();
    {
        Config c;
        for (const Field &f : fields)
            f.set(c, f.other);
        c.write_cfg();
    }

    const QJsonObject root = file_root();
    EXPECT_EQ(keys_of(root), QSet<QString>(kSections.begin(), kSections.end()));
    for (const QString &section : kSections)
        EXPECT_EQ(keys_of(root[section].toObject()), keys_of(fields, section))
            << section.toStdString();
    for (const Field &f : fields)
        EXPECT_EQ(root[f.section][f.key], f.other)
            << f.section.toStdString() << "/" << f.key.toStdString();

    Config again;
    ASSERT_EQ(again.load_cfg(), 0);
    for (const Field &f : fields)
        EXPECT_EQ(f.get(again), f.other) << f.section.toStdString() << "/" << f.key.toStdString();
}

TEST_F(ConfigTest, EncryptionSettingsNeverReachTheFile) {
    {
        Config c;
        c.p_networkCfg->is_encryp = 1;
        c.p_networkCfg->key_len = 16;
        for (unsigned char &byte : c.p_networkCfg->enc_key)
            byte = 0xA5;
        c.p_networkCfg->write();
    }
    EXPECT_EQ(keys_of(file_root()["network"].toObject()), keys_of(stored_fields(), "network"));

    // Members of those names added by hand are not read either.
    QJsonObject root = file_root();
    QJsonObject network = root["network"].toObject();
    network["is_encryp"] = 1;
    network["key_len"] = 16;
    network["enc_key"] = "a5a5a5a5";
    root["network"] = network;
    put_file(root);

    Config c;
    ASSERT_EQ(c.load_cfg(), 0);
    EXPECT_EQ(c.p_networkCfg->is_encryp, 0);
    EXPECT_EQ(c.p_networkCfg->key_len, 0);
    for (unsigned char byte : c.p_networkCfg->enc_key)
        ASSERT_EQ(byte, 0);
}

// A file holding one key sets that field alone; every other field, in every section, keeps its
// default (e.g. "network": {"Port": 5000} gives port 5000 and the defaults elsewhere).
TEST_F(ConfigTest, EachKeyAloneSetsOnlyItsField) {
    const std::vector<Field> fields = stored_fields();
    for (const Field &f : fields) {
        SCOPED_TRACE(f.section.toStdString() + "/" + f.key.toStdString());
        put_file(QJsonObject{{f.section, QJsonObject{{f.key, f.other}}}});
        Config c;
        ASSERT_EQ(c.load_cfg(), 0);
        for (const Field &g : fields)
            EXPECT_EQ(g.get(c), &g == &f ? f.other : g.def)
                << g.section.toStdString() << "/" << g.key.toStdString();
    }
}

// A value of the wrong type reads as 0 or empty (not "unchanged"), whatever the field held.
TEST_F(ConfigTest, WronglyTypedValueReadsAsZeroOrEmpty) {
    const std::vector<Field> fields = stored_fields();
    const QJsonValue for_numbers[] = {"5000", true, QJsonValue::Null, QJsonArray{5000}};
    const QJsonValue for_text[] = {5000, true, QJsonValue::Null, QJsonObject{{"IP", "1.2.3.4"}}};
    for (const Field &f : fields) {
        const bool text = f.def.isString();
        for (const QJsonValue &wrong : text ? for_text : for_numbers) {
            SCOPED_TRACE(f.section.toStdString() + "/" + f.key.toStdString() + " = " +
                         json_text(wrong));
            put_file(QJsonObject{{f.section, QJsonObject{{f.key, wrong}}}});
            Config c;
            f.set(c, f.other);
            ASSERT_EQ(c.load_cfg(), 0);
            EXPECT_EQ(f.get(c), text ? QJsonValue("") : QJsonValue(0));
        }
    }
}

TEST_F(ConfigTest, SectionThatIsNotAnObjectLeavesItsFields) {
    const std::vector<Field> fields = stored_fields();
    put_file(QJsonObject{{"network", 5000},
                         {"volume", "loud"},
                         {"video", QJsonArray{2}},
                         {"playback", QJsonObject{{"Port", 6000}}}});
    Config c;
    ASSERT_EQ(c.load_cfg(), 0);
    for (const Field &f : fields) {
        const bool playback_port = f.section == "playback" && f.key == "Port";
        EXPECT_EQ(f.get(c), playback_port ? f.other : f.def)
            << f.section.toStdString() << "/" << f.key.toStdString();
    }
}

// A write replaces only its own section; the rest of the root stays as it was last loaded,
// including members the player does not know and sections changed only in memory.
TEST_F(ConfigTest, WriteKeepsTheRestOfTheRootAsLoaded) {
    const QJsonObject custom{{"layout", QJsonArray{1, 2, 3}}, {"name", "wall"}};
    const QJsonObject network{{"Port", 5000}};
    const QJsonObject volume{{"Volume_val", 10}, {"Volume_On", 0}};
    put_file(QJsonObject{{"custom", custom},
                         {"note", "edited by hand"},
                         {"network", network},
                         {"volume", volume},
                         {"playback", QJsonObject{{"Speed", 3}}}});

    Config c;
    ASSERT_EQ(c.load_cfg(), 0);
    c.p_networkCfg->port = 6000;
    c.p_playbackCfg->is_display_stream = 1;
    c.p_playbackCfg->write();

    const QJsonObject root = file_root();
    EXPECT_EQ(keys_of(root), (QSet<QString>{"custom", "note", "network", "volume", "playback"}));
    EXPECT_EQ(root["custom"], custom);
    EXPECT_EQ(root["note"], "edited by hand");
    EXPECT_EQ(root["network"], network);
    EXPECT_EQ(root["volume"], volume);
    EXPECT_EQ(root["playback"]["Speed"], 3);
    EXPECT_EQ(root["playback"]["is_display_stream"], 1);

    Config again;
    ASSERT_EQ(again.load_cfg(), 0);
    EXPECT_EQ(again.p_playbackCfg->is_display_stream, 1);
    EXPECT_EQ(again.p_networkCfg->port, 5000);
}

TEST_F(ConfigTest, RemoveDropsOneSectionAndRemoveFileTheFile) {
    put_file(QJsonObject{{"custom", 1},
                         {"network", QJsonObject{{"Port", 5000}}},
                         {"volume", QJsonObject{{"Volume_val", 10}}}});
    Config c;
    ASSERT_EQ(c.load_cfg(), 0);
    c.p_volume->remove();
    c.p_board_ip->remove(); // not in the file: nothing else changes
    EXPECT_EQ(keys_of(file_root()), (QSet<QString>{"custom", "network"}));

    {
        Config again;
        ASSERT_EQ(again.load_cfg(), 0);
        EXPECT_EQ(again.p_volume->volume_val, 30);
        EXPECT_EQ(again.p_networkCfg->port, 5000);
    }

    EXPECT_TRUE(c.remove_file());
    EXPECT_FALSE(QFile::exists(cfg_path()));
    EXPECT_EQ(c.load_cfg(), -1);
}

// Text that is not a JSON object reads as an empty document: defaults everywhere, and the first
// write replaces the file with a root holding only the sections written since.
TEST_F(ConfigTest, MalformedFileReadsAsEmptyAndIsReplacedByTheFirstWrite) {
    const std::vector<Field> fields = stored_fields();
    const QByteArray texts[] = {
        "",
        "not json",
        "{\"network\": {\"Port\": 5000",
        "{\"network\": {\"Port\": 5000}} trailing",
        "[{\"network\": {\"Port\": 5000}}]",
        "\"network\"",
        "42",
        QByteArray("\xef\xbb\xbf\xff\xfe{", 6),
    };
    for (const QByteArray &text : texts) {
        SCOPED_TRACE(text.toStdString());
        put_file(text);
        Config c;
        ASSERT_EQ(c.load_cfg(), 0);
        for (const Field &f : fields)
            EXPECT_EQ(f.get(c), f.def) << f.section.toStdString() << "/" << f.key.toStdString();

        c.p_volume->volume_val = 55;
        c.p_volume->write();
        c.p_videoCfg->write();
        EXPECT_EQ(file_root(),
                  (QJsonObject{{"volume", QJsonObject{{"Volume_val", 55}, {"Volume_On", 1}}},
                               {"video", QJsonObject{{"stabilizer_state", 0}}}}));
    }
}

// When the file cannot be written the change stays in memory and in json_doc; nothing crashes.
TEST_F(ConfigTest, UnwritableFileKeepsTheChangeInMemory) {
    for (const bool data_dir_blocked : {false, true}) {
        SCOPED_TRACE(data_dir_blocked ? "data directory cannot be created"
                                      : "a directory in the file's place");
        if (data_dir_blocked) {
            // A regular file where the data directory's parent belongs.
            QFile blocker(home.path() + "/blocker");
            ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
            qputenv("XDG_DATA_HOME", (home.path() + "/blocker/data").toUtf8());
        }
        Config c;
        if (!data_dir_blocked) {
            ASSERT_TRUE(QDir().mkpath(c.file_name));
        }

        c.p_volume->volume_val = 70;
        c.p_volume->write();
        EXPECT_EQ(c.json_doc.object().value("volume")["Volume_val"], 70);
        EXPECT_EQ(c.save_cfg(), -1);
        EXPECT_EQ(c.load_cfg(), -1);
        EXPECT_EQ(c.p_volume->volume_val, 70);
        EXPECT_FALSE(QFileInfo(c.file_name).isFile());
    }
}

// A section whose read() or write() throws ends that pass; the sections after it are skipped
// and the exception does not escape.
TEST_F(ConfigTest, ThrowingSectionStopsThePass) {
    put_file(QJsonObject{{"network", QJsonObject{{"Port", 5000}}},
                         {"volume", QJsonObject{{"Volume_val", 10}}}});
    DebugCapture debug;
    Config c;
    c.p_cfg_list.insert(1, new ThrowingSection(&c, "broken"));

    EXPECT_EQ(c.load_cfg(), 0);
    EXPECT_EQ(c.p_networkCfg->port, 5000);
    EXPECT_EQ(c.p_volume->volume_val, 30);
    EXPECT_TRUE(c.read_cfg());
    EXPECT_TRUE(debug.lines().contains("*************Read fail *************"));

    c.p_networkCfg->port = 6000;
    c.p_volume->volume_val = 90;
    EXPECT_NO_THROW(c.write_cfg());
    const QJsonObject root = file_root();
    EXPECT_EQ(root["network"]["Port"], 6000);
    EXPECT_EQ(root["volume"], (QJsonObject{{"Volume_val", 10}}));
}

} // namespace
