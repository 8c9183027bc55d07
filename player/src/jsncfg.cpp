#include "jsncfg.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QJsonObject>
#include <QJsonValue>
#include <QStandardPaths>

#include <exception>

Config *m_mpCfg = nullptr;

namespace {

// Sets a field from the section object when its key is present: numbers into integer fields
// (anything else reads as 0), strings into text fields (anything else reads as empty).
struct FieldReader {
    const QJsonObject &obj;

    void operator()(const char *name, int &field) const {
        const auto it = obj.constFind(QLatin1String(name));
        if (it != obj.constEnd())
            field = it.value().toInt();
    }
    void operator()(const char *name, QString &field) const {
        const auto it = obj.constFind(QLatin1String(name));
        if (it != obj.constEnd())
            field = it.value().toString();
    }
};

// Collects the stored fields of a section into a new object.
struct FieldWriter {
    QJsonObject obj;

    void operator()(const char *name, int field) { obj.insert(QLatin1String(name), field); }
    void operator()(const char *name, const QString &field) {
        obj.insert(QLatin1String(name), field);
    }
};

// Reads a section's fields from its member of the root, when the root has one. A member that
// is not an object reads as an empty object.
template <class Section, class Fields> void read_section(Section &s, const Fields &fields) {
    const QJsonObject root = s.p_cfg->json_doc.object();
    const auto it = root.constFind(s.key);
    if (it == root.constEnd())
        return;
    const QJsonObject obj = it.value().toObject();
    FieldReader reader{obj};
    fields(s, reader);
}

// Puts a section object into the root, replacing the earlier one, and saves the whole file.
void store_section(const cfg_list &s, const QJsonObject &obj) {
    QJsonObject root = s.p_cfg->json_doc.object();
    root.insert(s.key, obj);
    s.p_cfg->json_doc.setObject(root);
    s.p_cfg->save_cfg();
}

template <class Section, class Fields> void write_section(const Section &s, const Fields &fields) {
    FieldWriter writer;
    fields(s, writer);
    store_section(s, writer.obj);
}

// The stored fields of each section with their keys. One list serves both read() and write(),
// so the two never disagree; the visitor gets each field by reference (const when writing).
const auto network_fields = [](auto &s, auto &v) {
    v("Transport", s.ts);
    v("Port", s.port);
    v("Mode", s.mode);
    v("rtsp_serial_port", s.rtsp_serial_port);
    v("rtsp_mode", s.rtsp_mode);
    v("do_record", s.is_recording);
    v("rtmp_port", s.rtmp_port);
    v("rtmp_sdp", s.rtmp_sdp);
    v("rtmp_url", s.rtmp_url);
    v("IP", s.ip);
    v("rtsp_url", s.rtsp_url);
    v("rtsp_sdp", s.rtsp_sdp);
    v("rtsp_userName", s.rtsp_userName);
    v("rtsp_password", s.rtsp_password);
    v("hw_acc", s.hw_acc);
    v("sync_delay", s.sync_delay);
    v("Reorder", s.reorder_frames);
    v("rtp_codec", s.rtp_codec);
    v("handle_errors", s.handle_errors);
    v("rtp_payload_type", s.rtp_payload_type);
    v("is_deinterlace", s.is_deinterlace);
};

const auto record_fields = [](auto &s, auto &v) {
    v("Path", s.directory_path);
    v("Trick_mode", s.trick_mode);
};

const auto video_fields = [](auto &s, auto &v) { v("stabilizer_state", s.stabilizer_state); };

const auto volume_fields = [](auto &s, auto &v) {
    v("Volume_val", s.volume_val);
    v("Volume_On", s.volume_on);
};

const auto playback_fields = [](auto &s, auto &v) {
    v("Path", s.path);
    v("is_trick_mode", s.is_trick_mode);
    v("Direction", s.direction);
    v("Speed", s.speed);
    v("is_stream", s.is_stream);
    v("IP", s.ip);
    v("Port", s.port);
    v("is_display_stream", s.is_display_stream);
    v("loop_playback", s.loop_playback);
};

const auto board_ip_fields = [](auto &s, auto &v) { v("IP", s.ip); };

const auto stream_data_fields = [](auto &s, auto &v) {
    v("IP", s.ip);
    v("is_file", s.is_save_by_file);
    v("is_eth", s.is_send_by_eth);
    v("File_name", s.file_name);
    v("Port", s.port);
    v("rtp_max_err", s.rtp_max_err);
};

const auto ai_encode_fields = [](auto &s, auto &v) { v("Track_fps", s.track_fps); };

} // namespace

cfg_list::cfg_list(Config *cfg, const QString &section_key) : key(section_key), p_cfg(cfg) {}

cfg_list::~cfg_list() = default;

void cfg_list::read() {}

void cfg_list::write() const {}

void cfg_list::remove() const {
    QJsonObject root = p_cfg->json_doc.object();
    root.remove(key);
    p_cfg->json_doc.setObject(root);
    p_cfg->save_cfg();
}

networkCfg::networkCfg(Config *cfg) : cfg_list(cfg, "network") {}
void networkCfg::read() {
    read_section(*this, network_fields);
}
void networkCfg::write() const {
    write_section(*this, network_fields);
}

recordCfg::recordCfg(Config *cfg)
    : cfg_list(cfg, "record"),
      directory_path(QStandardPaths::writableLocation(QStandardPaths::MoviesLocation)) {}
void recordCfg::read() {
    read_section(*this, record_fields);
}
void recordCfg::write() const {
    write_section(*this, record_fields);
}

videoCfg::videoCfg(Config *cfg) : cfg_list(cfg, "video") {}
void videoCfg::read() {
    read_section(*this, video_fields);
}
void videoCfg::write() const {
    write_section(*this, video_fields);
}

volumeCfg::volumeCfg(Config *cfg) : cfg_list(cfg, "volume") {}
void volumeCfg::read() {
    read_section(*this, volume_fields);
}
void volumeCfg::write() const {
    write_section(*this, volume_fields);
}

playbackCfg::playbackCfg(Config *cfg) : cfg_list(cfg, "playback") {}
void playbackCfg::read() {
    read_section(*this, playback_fields);
}
void playbackCfg::write() const {
    write_section(*this, playback_fields);
}

board_ip::board_ip(Config *cfg) : cfg_list(cfg, "board_ip") {}
void board_ip::read() {
    read_section(*this, board_ip_fields);
}
void board_ip::write() const {
    write_section(*this, board_ip_fields);
}

stream_data_save::stream_data_save(Config *cfg) : cfg_list(cfg, "stream_data_save") {}
void stream_data_save::read() {
    read_section(*this, stream_data_fields);
}
void stream_data_save::write() const {
    write_section(*this, stream_data_fields);
}

AIEncodeCfg::AIEncodeCfg(Config *cfg) : cfg_list(cfg, "AI_Encode") {}
void AIEncodeCfg::read() {
    read_section(*this, ai_encode_fields);
}
void AIEncodeCfg::write() const {
    write_section(*this, ai_encode_fields);
}

Config::Config() {
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QDir().mkpath(dir);
    file_name = dir + "/lumaro_player.cfg";
    qDebug("%s.%d %s", __func__, __LINE__, qUtf8Printable(file_name));

    p_networkCfg = new networkCfg(this);
    p_recordCfg = new recordCfg(this);
    p_volume = new volumeCfg(this);
    p_playbackCfg = new playbackCfg(this);
    p_board_ip = new board_ip(this);
    p_videoCfg = new videoCfg(this);
    p_stream_data = new stream_data_save(this);
    p_AIEncodeCfg = new AIEncodeCfg(this);
    p_cfg_list = {p_networkCfg,  p_recordCfg, p_videoCfg,    p_volume,
                  p_playbackCfg, p_board_ip,  p_stream_data, p_AIEncodeCfg};
}

Config::~Config() {
    if (m_mpCfg == this)
        m_mpCfg = nullptr;
    qDeleteAll(p_cfg_list);
}

int Config::load_cfg() {
    QFile file(file_name);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = file.readAll();
    file.close();
    json_doc = QJsonDocument::fromJson(text);
    read_cfg();
    return 0;
}

bool Config::read_cfg() {
    try {
        for (cfg_list *section : qAsConst(p_cfg_list))
            section->read();
    } catch (const std::exception &) {
        qDebug("*************Read fail *************");
        return true;
    }
    return false;
}

// The file holds the board password: it is readable by its owner only, and it is replaced
// whole (written beside it, then renamed over it), so a failed write never leaves half a file.
int Config::save_cfg() {
    QSaveFile file(file_name);
    if (!file.open(QIODevice::WriteOnly))
        return -1;
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        file.cancelWriting();
        return -1;
    }
    const QByteArray text = json_doc.toJson(QJsonDocument::Indented);
    if (file.write(text) != text.size()) {
        file.cancelWriting();
        return -1;
    }
    return file.commit() ? 0 : -1;
}

void Config::write_cfg() const {
    try {
        for (const cfg_list *section : p_cfg_list)
            section->write();
    } catch (const std::exception &) {
        qDebug("*************Write fail *************");
    }
}

bool Config::remove_file() {
    return QFile::remove(file_name);
}
