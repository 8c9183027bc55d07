// Tests of the network stream dialog, driven offscreen through its widgets: what opening shows
// for each input kind, what Play stores and saves, and what Cancel leaves alone. Every test runs
// against its own empty data directory; nothing touches the real home.
#include "network_stream.h"
#include "debug_capture.h"
#include "offscreen_app.h"
#include "jsncfg.h"
#include "quorvexapi.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>

#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>

// Readable failure messages for the Qt values compared below.
static void PrintTo(const QString &s, std::ostream *os) {
    *os << '"' << s.toStdString() << '"';
}
static void PrintTo(const QJsonValue &v, std::ostream *os) {
    const QByteArray text = QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact);
    *os << text.mid(1, text.size() - 2).toStdString();
}

namespace {

// The dialog with typed access to its widgets by object name. A missing widget, or one of
// another kind, fails the test.
struct Form {
    network_stream dlg;

    template <class T> T &get(const char *name) {
        T *w = dlg.findChild<T *>(name);
        if (!w)
            throw std::runtime_error(std::string("no ") + T::staticMetaObject.className() +
                                     " named " + name);
        return *w;
    }
    QRadioButton &radio(const char *name) { return get<QRadioButton>(name); }
    QLineEdit &edit(const char *name) { return get<QLineEdit>(name); }
    QCheckBox &check(const char *name) { return get<QCheckBox>(name); }
    QSpinBox &spin(const char *name) { return get<QSpinBox>(name); }
    bool visible(const char *name) { return get<QWidget>(name).isVisibleTo(&dlg); }

    // Presses a button and gives the dialog's result.
    int press(const char *button) {
        get<QPushButton>(button).click();
        return dlg.result();
    }
    int play() { return press("playNetwork"); }
    int cancel() { return press("cancelNetwork"); }
};

const char *const kKindRadios[] = {"transportRD", "rtpRD", "splitRD", "rtspRD", "rowRD", "rtmpRD"};
// The widgets of each group that opening and the kind radios show or hide together.
const char *const kReception[] = {"unicasRd", "multicastRD", "portLbl", "portLE", "ipLbl", "ipLE"};
const char *const kServer[] = {"rtsp_urlLbl",        "rtsp_urlLE",      "rtsp_serial_portLbl",
                               "rtsp_serial_portLE", "rtsp_sdpLbl",     "rtsp_sdpLE",
                               "rtspUserName_lbl",   "rtspUserName_le", "rtspPassword_lbl",
                               "rtspPassword_le",    "showPassword_cb"};
const char *const kRtspMode[] = {"rtsp_udpRD", "rtsp_tcpRD"};
const char *const kRtp[] = {"rtp_reorder_lbl", "rtp_reorder_le", "handle_err_lbl", "handle_err_cb",
                            "rtp_groupBox",    "h265_rd",        "h264_rd",        "stan82_rd"};
const char *const kDelay[] = {"label", "sync_delay"};
const char *const kAlwaysShown[] = {
    "transportRD",     "rtpRD",          "splitRD",     "rtspRD",        "rowRD",
    "rtmpRD",          "record_grp",     "rec_path",    "record_browes", "is_encryption",
    "key_encryptionn", "deinterlace_cb", "playNetwork", "cancelNetwork"};

// Every field of the two sections the dialog edits, encryption included.
QVariantList snapshot(const Config &c) {
    const networkCfg &n = *c.p_networkCfg;
    const recordCfg &r = *c.p_recordCfg;
    return {n.ts,
            n.port,
            n.mode,
            n.rtsp_serial_port,
            n.rtsp_mode,
            n.is_recording,
            n.rtmp_port,
            n.rtmp_sdp,
            n.rtmp_url,
            n.ip,
            n.rtsp_url,
            n.rtsp_sdp,
            n.rtsp_userName,
            n.rtsp_password,
            n.hw_acc,
            n.sync_delay,
            n.reorder_frames,
            n.is_encryp,
            n.key_len,
            n.rtp_codec,
            n.handle_errors,
            n.rtp_payload_type,
            QByteArray(reinterpret_cast<const char *>(n.enc_key), sizeof n.enc_key),
            n.is_deinterlace,
            r.directory_path,
            r.trick_mode};
}

// Each test gets a fresh HOME, data directory and Config.
class NetworkStreamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(home.isValid());
        qputenv("HOME", home.path().toUtf8());
        qputenv("XDG_DATA_HOME", (home.path() + "/data").toUtf8());
        cfg = std::make_unique<Config>();
        m_mpCfg = cfg.get();
    }
    void TearDown() override { cfg.reset(); }

    networkCfg &net() { return *cfg->p_networkCfg; }
    recordCfg &rec() { return *cfg->p_recordCfg; }

    QByteArray file_text() const {
        QFile file(cfg->file_name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QJsonObject file_root() const { return QJsonDocument::fromJson(file_text()).object(); }

    void set_key(const QByteArray &key) {
        std::memset(net().enc_key, 0, sizeof net().enc_key);
        std::memcpy(net().enc_key, key.constData(), key.size());
        net().key_len = key.size();
    }
    QByteArray key_bytes() {
        return QByteArray(reinterpret_cast<const char *>(net().enc_key), sizeof net().enc_key);
    }

    QTemporaryDir home;
    std::unique_ptr<Config> cfg;
};

TEST_F(NetworkStreamTest, FormHasEveryWidgetWithItsKindAndText) {
    struct W {
        const char *name;
        const char *kind;
        const char *text; // null: not checked
    };
    const W widgets[] = {
        {"transportRD", "QRadioButton", "Transport"},
        {"rtpRD", "QRadioButton", "RTP"},
        {"splitRD", "QRadioButton", "Split"},
        {"rtspRD", "QRadioButton", "RTSP"},
        {"rowRD", "QRadioButton", "AI Encode"},
        {"rtmpRD", "QRadioButton", "RTMP"},
        {"label_5", "QLabel", "Network:"},
        {"label_6", "QLabel", "Stream mode:"},
        {"unicasRd", "QRadioButton", "Unicast"},
        {"multicastRD", "QRadioButton", "Multicast"},
        {"portLbl", "QLabel", "Port"},
        {"portLE", "QLineEdit", nullptr},
        {"ipLbl", "QLabel", "IP"},
        {"ipLE", "QLineEdit", nullptr},
        {"rtsp_urlLbl", "QLabel", "URL(IP)"},
        {"rtsp_urlLE", "QLineEdit", nullptr},
        {"rtsp_serial_portLbl", "QLabel", "Port"},
        {"rtsp_serial_portLE", "QLineEdit", nullptr},
        {"rtsp_sdpLbl", "QLabel", "SDP"},
        {"rtsp_sdpLE", "QLineEdit", nullptr},
        {"rtsp_udpRD", "QRadioButton", "UDP"},
        {"rtsp_tcpRD", "QRadioButton", "TCP"},
        {"rtspUserName_lbl", "QLabel", "User Name"},
        {"rtspUserName_le", "QLineEdit", nullptr},
        {"rtspPassword_lbl", "QLabel", "Password"},
        {"rtspPassword_le", "QLineEdit", nullptr},
        {"showPassword_cb", "QCheckBox", ""},
        {"label", "QLabel", "delay (ms):"},
        {"sync_delay", "QSpinBox", nullptr},
        {"rtp_reorder_lbl", "QLabel", "Reorder"},
        {"rtp_reorder_le", "QSpinBox", nullptr},
        {"handle_err_lbl", "QLabel", "Handle Errors"},
        {"handle_err_cb", "QComboBox", nullptr},
        {"rtp_groupBox", "QGroupBox", nullptr},
        {"h265_rd", "QRadioButton", "H265"},
        {"h264_rd", "QRadioButton", "H264"},
        {"stan82_rd", "QRadioButton", "Stan 82"},
        {"record_grp", "QGroupBox", "Record"},
        {"rec_path", "QLineEdit", nullptr},
        {"record_browes", "QPushButton", "Directory"},
        {"record_index_mode", "QCheckBox", "Trick  Mode"},
        {"is_encryption", "QCheckBox", "Encryption"},
        {"key_encryptionn", "QLineEdit", nullptr},
        {"deinterlace_cb", "QCheckBox", "Deinterlace"},
        {"playNetwork", "QPushButton", "Play"},
        {"cancelNetwork", "QPushButton", "Cancel"},
    };
    Form f;
    EXPECT_EQ(f.dlg.windowTitle(), "Network streaming");
    for (const W &w : widgets) {
        SCOPED_TRACE(w.name);
        const QList<QWidget *> found = f.dlg.findChildren<QWidget *>(w.name);
        ASSERT_EQ(found.size(), 1);
        EXPECT_STREQ(found[0]->metaObject()->className(), w.kind);
        if (w.text) {
            const char *property = qobject_cast<QGroupBox *>(found[0]) ? "title" : "text";
            EXPECT_EQ(found[0]->property(property).toString(), w.text);
        }
    }

    EXPECT_EQ(f.edit("rtspPassword_le").echoMode(), QLineEdit::Password);
    EXPECT_EQ(f.edit("key_encryptionn").echoMode(), QLineEdit::Password);
    EXPECT_EQ(f.spin("sync_delay").minimum(), 0);
    EXPECT_EQ(f.spin("sync_delay").maximum(), 10000);
    EXPECT_EQ(f.spin("rtp_reorder_le").minimum(), 0);
    EXPECT_EQ(f.spin("rtp_reorder_le").maximum(), 1000);
    QComboBox &errors = f.get<QComboBox>("handle_err_cb");
    ASSERT_EQ(errors.count(), 2);
    EXPECT_EQ(errors.itemText(0), "None");
    EXPECT_EQ(errors.itemText(1), "Drop I");
    EXPECT_TRUE(f.get<QGroupBox>("record_grp").isCheckable());
}

// Which kind radio is ticked and which groups are shown, for every stored input kind. The
// radio groups are independent: the kind, the cast mode, the RTSP transport and the payload
// are ticked at the same time.
TEST_F(NetworkStreamTest, OpeningShowsTheWidgetsOfTheStoredInputKind) {
    struct Case {
        int ts;
        const char *radio; // null: no kind radio ticked
        bool reception, server, rtsp_mode, rtp, delay;
    };
    const Case cases[] = {
        {networkCfg::TRANSPORT, "transportRD", true, false, false, false, true},
        {networkCfg::RTP, "rtpRD", true, false, false, true, true},
        {networkCfg::SPLIT, "splitRD", true, false, false, false, true},
        {networkCfg::RTSP, "rtspRD", false, true, true, false, true},
        {networkCfg::ROW_H265, "rowRD", true, false, false, false, true},
        {networkCfg::ROW_H264, nullptr, true, false, false, false, true},
        {networkCfg::RTMP, "rtmpRD", false, true, false, false, false},
        {networkCfg::PRIVATE, "transportRD", true, false, false, false, true},
        {42, "transportRD", true, false, false, false, true},
    };
    net().mode = networkCfg::MULTICAST;
    net().rtsp_mode = networkCfg::RTSP_TCP;
    net().rtp_payload_type = RTP_P_TYPE_H264;
    for (const Case &c : cases) {
        SCOPED_TRACE("ts " + std::to_string(c.ts));
        net().ts = c.ts;
        Form f;
        for (const char *radio : kKindRadios)
            EXPECT_EQ(f.radio(radio).isChecked(), c.radio && !std::strcmp(radio, c.radio)) << radio;
        EXPECT_TRUE(f.radio("multicastRD").isChecked());
        if (c.rtsp_mode) {
            EXPECT_TRUE(f.radio("rtsp_tcpRD").isChecked());
        }
        if (c.rtp) {
            EXPECT_TRUE(f.radio("h264_rd").isChecked());
        }

        for (const char *w : kReception)
            EXPECT_EQ(f.visible(w), c.reception) << w;
        for (const char *w : kServer)
            EXPECT_EQ(f.visible(w), c.server) << w;
        for (const char *w : kRtspMode)
            EXPECT_EQ(f.visible(w), c.rtsp_mode) << w;
        for (const char *w : kRtp)
            EXPECT_EQ(f.visible(w), c.rtp) << w;
        for (const char *w : kDelay)
            EXPECT_EQ(f.visible(w), c.delay) << w;
        for (const char *w : kAlwaysShown)
            EXPECT_TRUE(f.visible(w)) << w;
    }
}

TEST_F(NetworkStreamTest, OpeningFillsTheFormFromTheConfiguration) {
    net().port = 5000;
    net().ip = "239.1.1.1";
    net().rtsp_url = "10.0.0.5";
    net().rtsp_sdp = "cam.sdp";
    net().rtsp_serial_port = 8554;
    net().rtmp_url = "10.1.1.1";
    net().rtmp_sdp = "live";
    net().rtmp_port = 1935;
    net().rtsp_userName = "operator";
    net().rtsp_password = "s3cret";
    net().sync_delay = 250;
    net().reorder_frames = 6;
    net().handle_errors = 1;
    rec().directory_path = "/srv/recordings";

    {
        SCOPED_TRACE("RTSP, everything ticked");
        net().ts = networkCfg::RTSP;
        net().mode = networkCfg::MULTICAST;
        net().rtsp_mode = networkCfg::RTSP_TCP;
        net().is_recording = 1;
        rec().trick_mode = 1;
        net().is_encryp = 1;
        set_key(QByteArray(255, 'k')); // fills enc_key, no terminating zero
        net().is_deinterlace = 1;
        Form f;
        EXPECT_EQ(f.edit("rtsp_urlLE").text(), "10.0.0.5");
        EXPECT_EQ(f.edit("rtsp_sdpLE").text(), "cam.sdp");
        EXPECT_EQ(f.edit("rtsp_serial_portLE").text(), "8554");
        EXPECT_TRUE(f.radio("rtsp_tcpRD").isChecked());
        EXPECT_FALSE(f.radio("rtsp_udpRD").isChecked());
        EXPECT_TRUE(f.radio("multicastRD").isChecked());
        EXPECT_FALSE(f.radio("unicasRd").isChecked());
        EXPECT_TRUE(f.edit("ipLE").isEnabled());
        EXPECT_TRUE(f.get<QLabel>("ipLbl").isEnabled());
        EXPECT_EQ(f.edit("portLE").text(), "5000");
        EXPECT_EQ(f.edit("ipLE").text(), "239.1.1.1");
        EXPECT_EQ(f.edit("rtspUserName_le").text(), "operator");
        EXPECT_EQ(f.edit("rtspPassword_le").text(), "s3cret");
        EXPECT_EQ(f.spin("sync_delay").value(), 250);
        EXPECT_EQ(f.spin("rtp_reorder_le").value(), 6);
        EXPECT_EQ(f.get<QComboBox>("handle_err_cb").currentIndex(), 1);
        EXPECT_EQ(f.edit("rec_path").text(), "/srv/recordings");
        EXPECT_TRUE(f.get<QGroupBox>("record_grp").isChecked());
        EXPECT_TRUE(f.check("record_index_mode").isChecked());
        EXPECT_TRUE(f.check("is_encryption").isChecked());
        EXPECT_EQ(f.edit("key_encryptionn").text(), QString(255, 'k'));
        EXPECT_TRUE(f.check("deinterlace_cb").isChecked());
    }
    {
        SCOPED_TRACE("RTMP, nothing ticked");
        net().ts = networkCfg::RTMP;
        net().mode = networkCfg::UNICAST;
        net().rtsp_mode = networkCfg::RTSP_UDP;
        net().is_recording = 0;
        rec().trick_mode = 0;
        net().is_encryp = 0;
        set_key("");
        net().is_deinterlace = 0;
        Form f;
        EXPECT_EQ(f.edit("rtsp_urlLE").text(), "10.1.1.1");
        EXPECT_EQ(f.edit("rtsp_sdpLE").text(), "live");
        EXPECT_EQ(f.edit("rtsp_serial_portLE").text(), "1935");
        EXPECT_TRUE(f.radio("unicasRd").isChecked());
        EXPECT_FALSE(f.edit("ipLE").isEnabled());
        EXPECT_FALSE(f.get<QLabel>("ipLbl").isEnabled());
        EXPECT_EQ(f.edit("rtspUserName_le").text(), "operator");
        EXPECT_FALSE(f.get<QGroupBox>("record_grp").isChecked());
        EXPECT_FALSE(f.check("record_index_mode").isChecked());
        EXPECT_FALSE(f.check("is_encryption").isChecked());
        EXPECT_EQ(f.edit("key_encryptionn").text(), "");
        EXPECT_FALSE(f.check("deinterlace_cb").isChecked());
    }
}

// The operator moves between kinds: the groups follow, the server fields are refilled from the
// chosen protocol's fields, and going back to UDP reception restores the stored cast mode.
TEST_F(NetworkStreamTest, KindRadiosShowTheirWidgetsAsTheOperatorSwitches) {
    net().ts = networkCfg::TRANSPORT;
    net().mode = networkCfg::MULTICAST;
    net().rtsp_url = "10.0.0.5";
    net().rtsp_serial_port = 8554;
    net().rtsp_sdp = "cam.sdp";
    net().rtmp_url = "10.1.1.1";
    net().rtmp_port = 1935;
    net().rtmp_sdp = "live";
    net().rtp_payload_type = RTP_P_TYPE_STAN82;
    Form f;
    f.radio("unicasRd").click();
    EXPECT_FALSE(f.edit("ipLE").isEnabled());

    f.radio("rtspRD").click();
    EXPECT_FALSE(f.visible("portLE"));
    EXPECT_FALSE(f.visible("multicastRD"));
    EXPECT_TRUE(f.visible("rtsp_urlLE"));
    EXPECT_TRUE(f.visible("rtsp_tcpRD"));
    EXPECT_TRUE(f.radio("rtsp_udpRD").isChecked());
    EXPECT_EQ(f.edit("rtsp_urlLE").text(), "10.0.0.5");
    EXPECT_EQ(f.edit("rtsp_serial_portLE").text(), "8554");
    EXPECT_EQ(f.edit("rtsp_sdpLE").text(), "cam.sdp");

    f.radio("rtmpRD").click();
    EXPECT_TRUE(f.visible("rtsp_urlLE"));
    EXPECT_FALSE(f.visible("rtsp_udpRD"));
    EXPECT_FALSE(f.visible("rtsp_tcpRD"));
    EXPECT_FALSE(f.visible("sync_delay"));
    EXPECT_FALSE(f.visible("label"));
    EXPECT_FALSE(f.visible("portLE"));
    EXPECT_EQ(f.edit("rtsp_urlLE").text(), "10.1.1.1");
    EXPECT_EQ(f.edit("rtsp_serial_portLE").text(), "1935");
    EXPECT_EQ(f.edit("rtsp_sdpLE").text(), "live");

    f.radio("rtspRD").click();
    EXPECT_TRUE(f.visible("rtsp_udpRD"));
    EXPECT_TRUE(f.visible("sync_delay"));
    EXPECT_EQ(f.edit("rtsp_urlLE").text(), "10.0.0.5");

    f.radio("rtpRD").click();
    EXPECT_FALSE(f.visible("rtsp_urlLE"));
    for (const char *w : kReception)
        EXPECT_TRUE(f.visible(w)) << w;
    EXPECT_TRUE(f.radio("multicastRD").isChecked()) << "the stored mode, not the last click";
    EXPECT_TRUE(f.edit("ipLE").isEnabled());
    for (const char *w : kRtp)
        EXPECT_TRUE(f.visible(w)) << w;
    EXPECT_TRUE(f.radio("stan82_rd").isChecked());

    f.radio("splitRD").click();
    for (const char *w : kRtp)
        EXPECT_FALSE(f.visible(w)) << w;

    f.radio("unicasRd").click();
    EXPECT_FALSE(f.edit("ipLE").isEnabled());
    EXPECT_FALSE(f.get<QLabel>("ipLbl").isEnabled());
    f.radio("multicastRD").click();
    EXPECT_TRUE(f.edit("ipLE").isEnabled());
    EXPECT_TRUE(f.get<QLabel>("ipLbl").isEnabled());

    f.check("showPassword_cb").click();
    EXPECT_EQ(f.edit("rtspPassword_le").echoMode(), QLineEdit::Normal);
    f.check("showPassword_cb").click();
    EXPECT_EQ(f.edit("rtspPassword_le").echoMode(), QLineEdit::Password);
}

TEST_F(NetworkStreamTest, PlayStoresAndSavesRtsp) {
    for (const auto &[mode_radio, mode] : {std::pair{"rtsp_udpRD", networkCfg::RTSP_UDP},
                                           std::pair{"rtsp_tcpRD", networkCfg::RTSP_TCP}}) {
        SCOPED_TRACE(mode_radio);
        net().rtsp_mode = 1 - mode;
        Form f;
        f.radio("rtspRD").click();
        f.radio(mode_radio).click();
        f.edit("rtsp_urlLE").setText("10.0.0.5");
        f.edit("rtsp_serial_portLE").setText("8554");
        f.edit("rtsp_sdpLE").setText("cam.sdp");
        f.edit("rtspUserName_le").setText("operator");
        f.edit("rtspPassword_le").setText("s3cret");
        EXPECT_EQ(f.play(), QDialog::Accepted);

        EXPECT_EQ(net().ts, networkCfg::RTSP);
        EXPECT_EQ(net().rtsp_mode, mode);
        EXPECT_EQ(net().rtsp_serial_port, 8554);
        EXPECT_EQ(net().rtsp_url, "10.0.0.5");
        EXPECT_EQ(net().rtsp_sdp, "cam.sdp");
        EXPECT_EQ(net().rtsp_userName, "operator");
        EXPECT_EQ(net().rtsp_password, "s3cret");
        EXPECT_EQ(net().rtmp_port, 556);
        EXPECT_EQ(net().rtmp_url, "0.0.0.0");

        const QJsonObject root = file_root();
        EXPECT_EQ(root.keys(), QStringList({"network", "record"}));
        const QJsonObject network = root["network"].toObject();
        EXPECT_EQ(network["Transport"], networkCfg::RTSP);
        EXPECT_EQ(network["rtsp_mode"], mode);
        EXPECT_EQ(network["rtsp_serial_port"], 8554);
        EXPECT_EQ(network["rtsp_url"], "10.0.0.5");
        EXPECT_EQ(network["rtsp_sdp"], "cam.sdp");
        EXPECT_EQ(network["rtsp_userName"], "operator");
        EXPECT_EQ(network["rtsp_password"], "s3cret");
        EXPECT_EQ(root["record"].toObject().value("Path"), rec().directory_path);
    }
}

// For RTMP the server port edits rtmp_port; the hidden cast mode, port and address are not
// taken even when changed.
TEST_F(NetworkStreamTest, PlayStoresRtmpAndKeepsTheUdpReception) {
    net().mode = networkCfg::MULTICAST;
    net().port = 5000;
    net().ip = "239.1.1.1";
    Form f;
    f.radio("rtmpRD").click();
    f.edit("rtsp_urlLE").setText("10.1.1.1");
    f.edit("rtsp_serial_portLE").setText("1935");
    f.edit("rtsp_sdpLE").setText("live");
    f.edit("rtspUserName_le").setText("publisher");
    f.edit("rtspPassword_le").setText("pw");
    f.radio("unicasRd").setChecked(true);
    f.edit("portLE").setText("9999");
    f.edit("ipLE").setText("1.2.3.4");
    EXPECT_EQ(f.play(), QDialog::Accepted);

    EXPECT_EQ(net().ts, networkCfg::RTMP);
    EXPECT_EQ(net().rtmp_port, 1935);
    EXPECT_EQ(net().rtmp_url, "10.1.1.1");
    EXPECT_EQ(net().rtmp_sdp, "live");
    EXPECT_EQ(net().rtsp_userName, "publisher");
    EXPECT_EQ(net().rtsp_password, "pw");
    EXPECT_EQ(net().mode, networkCfg::MULTICAST);
    EXPECT_EQ(net().port, 5000);
    EXPECT_EQ(net().ip, "239.1.1.1");
    EXPECT_EQ(net().rtsp_serial_port, 554);
    EXPECT_EQ(net().rtsp_url, "0.0.0.0");
    EXPECT_EQ(net().rtsp_sdp, "mux1.sdp");

    const QJsonObject network = file_root().value("network").toObject();
    EXPECT_EQ(network["Transport"], networkCfg::RTMP);
    EXPECT_EQ(network["rtmp_port"], 1935);
    EXPECT_EQ(network["rtmp_url"], "10.1.1.1");
    EXPECT_EQ(network["rtmp_sdp"], "live");
    EXPECT_EQ(network["Mode"], networkCfg::MULTICAST);
    EXPECT_EQ(network["Port"], 5000);
}

// The UDP kinds store the ticked kind, cast mode, port and group address.
TEST_F(NetworkStreamTest, PlayStoresTheKindAndUdpReception) {
    struct Case {
        const char *kind_radio;
        int ts;
        const char *cast_radio;
        int mode;
        const char *port_text;
        int port;
    };
    const Case cases[] = {
        {"transportRD", networkCfg::TRANSPORT, "unicasRd", networkCfg::UNICAST, "5000", 5000},
        {"transportRD", networkCfg::TRANSPORT, "multicastRD", networkCfg::MULTICAST, "1234", 1234},
        {"rtpRD", networkCfg::RTP, "multicastRD", networkCfg::MULTICAST, "6000", 6000},
        {"splitRD", networkCfg::SPLIT, "multicastRD", networkCfg::MULTICAST, "7000", 7000},
        {"rowRD", networkCfg::ROW_H265, "unicasRd", networkCfg::UNICAST, "8000", 8000},
        {"transportRD", networkCfg::TRANSPORT, "unicasRd", networkCfg::UNICAST, "12ab", 0},
        {"transportRD", networkCfg::TRANSPORT, "unicasRd", networkCfg::UNICAST, "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.kind_radio) + " " + c.cast_radio + " " + c.port_text);
        net().ts = networkCfg::RTMP;
        net().mode = 1 - c.mode;
        net().port = 1;
        Form f;
        f.radio(c.kind_radio).click();
        f.radio(c.cast_radio).click();
        f.edit("portLE").setText(c.port_text);
        f.edit("ipLE").setText("239.7.7.7");
        EXPECT_EQ(f.play(), QDialog::Accepted);

        EXPECT_EQ(net().ts, c.ts);
        EXPECT_EQ(net().mode, c.mode);
        EXPECT_EQ(net().port, c.port);
        EXPECT_EQ(net().ip, "239.7.7.7");
        const QJsonObject network = file_root().value("network").toObject();
        EXPECT_EQ(network["Transport"], c.ts);
        EXPECT_EQ(network["Mode"], c.mode);
        EXPECT_EQ(network["Port"], c.port);
        EXPECT_EQ(network["IP"], "239.7.7.7");
    }

    // Raw H.264 has no radio: Play keeps the kind.
    net().ts = networkCfg::ROW_H264;
    Form f;
    EXPECT_EQ(f.play(), QDialog::Accepted);
    EXPECT_EQ(net().ts, networkCfg::ROW_H264);
}

// Delay, recording, index mode, error handling and deinterlacing are stored for every kind;
// the reorder depth only with RTP ticked.
TEST_F(NetworkStreamTest, PlayStoresTheOptions) {
    for (const bool on : {true, false}) {
        SCOPED_TRACE(on ? "ticked" : "cleared");
        net().is_recording = on ? 0 : 1;
        rec().trick_mode = on ? 0 : 1;
        net().is_deinterlace = on ? 0 : 1;
        net().handle_errors = on ? 0 : 1;
        net().reorder_frames = 3;
        Form f;
        f.radio(on ? "rtpRD" : "transportRD").click();
        f.spin("sync_delay").setValue(on ? 250 : 0);
        f.spin("rtp_reorder_le").setValue(9);
        f.get<QGroupBox>("record_grp").setChecked(on);
        f.check("record_index_mode").setChecked(on);
        f.check("deinterlace_cb").setChecked(on);
        f.get<QComboBox>("handle_err_cb").setCurrentIndex(on ? 1 : 0);
        EXPECT_EQ(f.play(), QDialog::Accepted);

        EXPECT_EQ(net().sync_delay, on ? 250 : 0);
        EXPECT_EQ(net().reorder_frames, on ? 9 : 3);
        EXPECT_EQ(net().is_recording, on ? 1 : 0);
        EXPECT_EQ(rec().trick_mode, on ? 1 : 0);
        EXPECT_EQ(net().is_deinterlace, on ? 1 : 0);
        EXPECT_EQ(net().handle_errors, on ? 1 : 0);

        const QJsonObject root = file_root();
        const QJsonObject network = root["network"].toObject();
        EXPECT_EQ(network["sync_delay"], on ? 250 : 0);
        EXPECT_EQ(network["Reorder"], on ? 9 : 3);
        EXPECT_EQ(network["do_record"], on ? 1 : 0);
        EXPECT_EQ(network["is_deinterlace"], on ? 1 : 0);
        EXPECT_EQ(network["handle_errors"], on ? 1 : 0);
        EXPECT_EQ(root["record"].toObject().value("Trick_mode"), on ? 1 : 0);
    }
}

TEST_F(NetworkStreamTest, PayloadRadiosMapToTheirTypes) {
    const std::pair<const char *, int> radios[] = {{"h265_rd", RTP_P_TYPE_H265},
                                                   {"h264_rd", RTP_P_TYPE_H264},
                                                   {"stan82_rd", RTP_P_TYPE_STAN82}};
    for (const auto &[radio, type] : radios) {
        SCOPED_TRACE(radio);
        net().ts = networkCfg::RTP;
        net().rtp_payload_type = type;
        {
            Form f;
            for (const auto &[other, other_type] : radios)
                EXPECT_EQ(f.radio(other).isChecked(), other == radio) << other;
        }
        net().rtp_payload_type = 7;
        Form f;
        f.radio(radio).click();
        DebugCapture debug;
        EXPECT_EQ(f.play(), QDialog::Accepted);
        EXPECT_EQ(net().rtp_payload_type, type);
        EXPECT_EQ(file_root().value("network").toObject().value("rtp_payload_type"), type);
        const QRegularExpression line(
            QString("^on_playNetwork_clicked\\.\\d+ rtp_payload_type = %1$").arg(type));
        EXPECT_EQ(debug.lines().filter(line).size(), 1) << debug.lines().join('\n').toStdString();
    }

    // Outside RTP no payload radio is ticked, and the type stays.
    net().ts = networkCfg::TRANSPORT;
    net().rtp_payload_type = RTP_P_TYPE_STAN82;
    Form f;
    EXPECT_EQ(f.play(), QDialog::Accepted);
    EXPECT_EQ(net().rtp_payload_type, RTP_P_TYPE_STAN82);
}

// User names and passwords that would break the stream URL are dropped silently: the earlier
// pair stays and the stream still starts with the other fields taken.
TEST_F(NetworkStreamTest, UnsafeCredentialsKeepTheEarlierOnes) {
    for (const char *kind : {"rtspRD", "rtmpRD"}) {
        for (const char *bad : {" ", "+", "&", "#"}) {
            for (const bool in_user : {true, false}) {
                SCOPED_TRACE(std::string(kind) + " \"" + bad + "\" in " +
                             (in_user ? "user" : "password"));
                net().rtsp_userName = "alice";
                net().rtsp_password = "pw1";
                net().rtsp_url = net().rtmp_url = "0.0.0.0";
                Form f;
                f.radio(kind).click();
                f.edit("rtsp_urlLE").setText("10.0.0.9");
                f.edit("rtspUserName_le").setText(in_user ? QString("bo") + bad + "b" : "bob");
                f.edit("rtspPassword_le").setText(in_user ? "pw2" : QString("p") + bad + "w2");
                EXPECT_EQ(f.play(), QDialog::Accepted);

                EXPECT_EQ(net().rtsp_userName, "alice");
                EXPECT_EQ(net().rtsp_password, "pw1");
                EXPECT_EQ(kind == std::string("rtspRD") ? net().rtsp_url : net().rtmp_url,
                          "10.0.0.9");
                const QJsonObject network = file_root().value("network").toObject();
                EXPECT_EQ(network["rtsp_userName"], "alice");
                EXPECT_EQ(network["rtsp_password"], "pw1");
            }
        }
    }

    // Other punctuation is allowed.
    Form f;
    f.radio("rtspRD").click();
    f.edit("rtspUserName_le").setText("bob.smith-1_x");
    f.edit("rtspPassword_le").setText("p@ss:w0rd!");
    EXPECT_EQ(f.play(), QDialog::Accepted);
    EXPECT_EQ(net().rtsp_userName, "bob.smith-1_x");
    EXPECT_EQ(net().rtsp_password, "p@ss:w0rd!");
}

TEST_F(NetworkStreamTest, CredentialCheckRejectsUrlBreakingCharacters) {
    struct Case {
        const char *user, *password;
        int result;
    };
    const Case cases[] = {
        {"operator", "s3cret", 0}, {"", "", 0},          {nullptr, nullptr, 0},
        {"op erator", "x", -1},    {"x", "s3c ret", -1}, {"op+", "x", -1},
        {"x", "a&b", -1},          {"#", "x", -1},       {"x", "pass#", -1},
        {"a:b@c", "%20!$", 0},     {"x\t", "\ny", 0},    {nullptr, "#", -1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(network_stream::rtspUserPassword_validity_check(c.user, c.password), c.result)
            << (c.user ? c.user : "(null)") << " / " << (c.password ? c.password : "(null)");
}

// The key and the encryption switch are taken only together with a non-empty key, live in
// memory only, and read back when the dialog opens again.
TEST_F(NetworkStreamTest, EncryptionKeyIsTakenOnlyWhenGivenAndNeverSaved) {
    {
        SCOPED_TRACE("ticked with an empty key");
        Form f;
        f.check("is_encryption").setChecked(true);
        EXPECT_EQ(f.play(), QDialog::Accepted);
        EXPECT_EQ(net().is_encryp, 0);
        EXPECT_EQ(net().key_len, 0);
        EXPECT_EQ(key_bytes(), QByteArray(255, '\0'));
    }
    {
        SCOPED_TRACE("a key replacing a longer one");
        set_key("an-earlier-longer-key");
        Form f;
        f.check("is_encryption").setChecked(true);
        f.edit("key_encryptionn").setText("secret-key");
        EXPECT_EQ(f.play(), QDialog::Accepted);
        EXPECT_EQ(net().is_encryp, 1);
        EXPECT_EQ(net().key_len, 10);
        EXPECT_EQ(key_bytes(), QByteArray("secret-key").leftJustified(255, '\0'));

        const QJsonObject network = file_root().value("network").toObject();
        for (const char *key : {"is_encryp", "key_len", "enc_key"})
            EXPECT_FALSE(network.contains(key)) << key;
        EXPECT_FALSE(file_text().contains("secret-key"));

        Form again;
        EXPECT_TRUE(again.check("is_encryption").isChecked());
        EXPECT_EQ(again.edit("key_encryptionn").text(), "secret-key");
    }
    {
        SCOPED_TRACE("unticked with a key");
        Form f;
        f.check("is_encryption").setChecked(false);
        f.edit("key_encryptionn").setText("other");
        EXPECT_EQ(f.play(), QDialog::Accepted);
        EXPECT_EQ(net().is_encryp, 0);
        EXPECT_EQ(net().key_len, 5);
        EXPECT_EQ(key_bytes(), QByteArray("other").leftJustified(255, '\0'));
    }
    {
        SCOPED_TRACE("a key longer than enc_key");
        QString key;
        for (int i = 0; i < 300; ++i)
            key += QChar('a' + i % 26);
        Form f;
        f.check("is_encryption").setChecked(true);
        f.edit("key_encryptionn").setText(key);
        EXPECT_EQ(f.play(), QDialog::Accepted);
        EXPECT_EQ(net().is_encryp, 1);
        EXPECT_EQ(net().key_len, 255);
        EXPECT_EQ(key_bytes(), key.left(255).toLatin1());
    }
}

TEST_F(NetworkStreamTest, CancelChangesNothing) {
    net().ts = networkCfg::TRANSPORT;
    net().rtsp_userName = "alice";
    set_key("k");
    cfg->write_cfg();
    const QByteArray file_before = file_text();
    const QVariantList before = snapshot(*cfg);

    Form f;
    f.radio("rtspRD").click();
    f.radio("rtsp_tcpRD").click();
    f.edit("rtsp_urlLE").setText("10.0.0.5");
    f.edit("rtsp_serial_portLE").setText("8554");
    f.edit("rtspUserName_le").setText("bob");
    f.edit("rtspPassword_le").setText("pw");
    f.spin("sync_delay").setValue(300);
    f.get<QGroupBox>("record_grp").setChecked(true);
    f.check("record_index_mode").setChecked(false);
    f.check("is_encryption").setChecked(true);
    f.edit("key_encryptionn").setText("new-key");
    f.check("deinterlace_cb").setChecked(true);
    EXPECT_EQ(f.cancel(), QDialog::Rejected);

    EXPECT_EQ(snapshot(*cfg), before);
    EXPECT_EQ(file_text(), file_before);
}

// "Directory" sets the record directory in memory at once (empty when the chooser is
// cancelled); only Play saves it.
TEST_F(NetworkStreamTest, ChosenDirectoryStaysInMemoryUntilPlay) {
    const QString start = home.path() + "/start";
    const QString target = home.path() + "/recordings";
    ASSERT_TRUE(QDir().mkpath(start));
    ASSERT_TRUE(QDir().mkpath(target));
    rec().directory_path = start;

    // Answers the directory chooser once it runs: picks `pick`, or cancels when it is empty.
    struct Chooser {
        QString caption, directory;
        bool dirs_only = false;
    } seen;
    auto answer = [&seen](const QString &pick) {
        auto poll = std::make_shared<std::function<void()>>();
        *poll = [&seen, pick, poll] {
            auto *chooser = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (!chooser) {
                QTimer::singleShot(10, *poll);
                return;
            }
            seen = {chooser->windowTitle(), QDir(chooser->directory()).absolutePath(),
                    chooser->testOption(QFileDialog::ShowDirsOnly)};
            if (pick.isEmpty()) {
                chooser->reject();
            } else {
                chooser->selectFile(pick);
                static_cast<QDialog *>(chooser)->accept(); // QFileDialog's own is protected
            }
            *poll = nullptr; // breaks the cycle through the captured pointer
        };
        QTimer::singleShot(0, *poll);
    };

    {
        Form f;
        f.get<QGroupBox>("record_grp").setChecked(true);
        answer(target);
        f.get<QPushButton>("record_browes").click();
        EXPECT_EQ(seen.caption, "Open_file");
        EXPECT_EQ(seen.directory, start);
        EXPECT_TRUE(seen.dirs_only);
        EXPECT_EQ(f.edit("rec_path").text(), target);
        EXPECT_EQ(rec().directory_path, target);
        EXPECT_EQ(f.cancel(), QDialog::Rejected);
        EXPECT_EQ(rec().directory_path, target);
        EXPECT_FALSE(QFile::exists(cfg->file_name));
    }
    {
        Form f;
        EXPECT_EQ(f.edit("rec_path").text(), target);
        EXPECT_EQ(f.play(), QDialog::Accepted);
        EXPECT_EQ(file_root().value("record").toObject().value("Path"), target);
    }
    {
        Form f;
        f.get<QGroupBox>("record_grp").setChecked(true);
        answer(QString());
        f.get<QPushButton>("record_browes").click();
        EXPECT_EQ(seen.directory, target);
        EXPECT_EQ(rec().directory_path, "");
        EXPECT_EQ(f.edit("rec_path").text(), "");
    }
}

} // namespace
