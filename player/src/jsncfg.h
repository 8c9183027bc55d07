// The player's persistent settings: one JSON file in the per-user application data directory,
// divided into sections that each own one member of the file's root object.
//
// Every window reaches the one Config through m_mpCfg, reads and changes the section fields
// directly and calls the section's write() to persist that one section; nothing is saved
// implicitly. Used only from the GUI thread; there is no locking.
#pragma once

#include <QJsonDocument>
#include <QList>
#include <QString>

class Config;

// Base of every section. key names the section's member in the root object; p_cfg points back
// to the Config whose json_doc the section reads from and writes to.
class cfg_list {
  public:
    cfg_list(Config *cfg, const QString &section_key);

    // Sets the stored fields from the section's member of json_doc; absent keys leave a field
    // as it is. The base version does nothing.
    virtual void read();
    // Replaces the section's member of json_doc with the stored fields and saves the whole file.
    // The other members of the root stay as they were last loaded or saved. The base version
    // does nothing.
    virtual void write() const;
    virtual ~cfg_list();

    // Drops the section's member from json_doc and saves the file.
    void remove() const;

    QString key;
    Config *p_cfg;

  private:
    Q_DISABLE_COPY(cfg_list)
};

// Section "network": live input. Fields without a key in the file (is_encryp, key_len,
// enc_key) live in memory only.
class networkCfg : public cfg_list {
  public:
    // Values of ts.
    enum InputKind {
        PRIVATE = 0,
        TRANSPORT = 1, // MPEG-TS over UDP
        RTP = 2,
        SPLIT = 3,
        RTSP = 4,
        ROW_H265 = 5, // raw H.265, the AI encoder's stream
        ROW_H264 = 6,
        RTMP = 7,
    };
    // Values of mode.
    enum CastMode { MULTICAST = 0, UNICAST = 1 };
    // Values of rtsp_mode.
    enum RtspMode { RTSP_UDP = 0, RTSP_TCP = 1 };

    explicit networkCfg(Config *cfg);
    void read() override;
    void write() const override;

    int ts = TRANSPORT;              // "Transport"
    int port = 1234;                 // "Port", UDP port to receive on
    int mode = UNICAST;              // "Mode"
    int rtsp_serial_port = 554;      // "rtsp_serial_port"
    int rtsp_mode = RTSP_UDP;        // "rtsp_mode"
    int is_recording = 0;            // "do_record", record while streaming
    int rtmp_port = 556;             // "rtmp_port"
    QString rtmp_sdp = "mux1";       // "rtmp_sdp", RTMP stream name
    QString rtmp_url = "0.0.0.0";    // "rtmp_url"
    QString ip = "225.0.0.1";        // "IP", multicast group (MULTICAST mode only)
    QString rtsp_url = "0.0.0.0";    // "rtsp_url"
    QString rtsp_sdp = "mux1.sdp";   // "rtsp_sdp"
    QString rtsp_userName;           // "rtsp_userName", RTSP/RTMP user
    QString rtsp_password;           // "rtsp_password", plain text
    int hw_acc = 1;                  // "hw_acc", hardware-accelerated decoding
    int sync_delay = 0;              // "sync_delay", display delay in ms
    int reorder_frames = 0;          // "Reorder", RTP reordering depth
    int is_encryp = 0;               // memory only: decrypt the input
    int key_len = 0;                 // memory only: valid bytes in enc_key
    int rtp_codec = 0;               // "rtp_codec"
    int handle_errors = 0;           // "handle_errors", RTP error handling mode
    int rtp_payload_type = 0;        // "rtp_payload_type", RTP_P_TYPE_* of the engine
    unsigned char enc_key[255] = {}; // memory only: decryption key bytes
    int is_deinterlace = 0;          // "is_deinterlace"
};

// Section "record": where and how recordings are written.
class recordCfg : public cfg_list {
  public:
    explicit recordCfg(Config *cfg);
    void read() override;
    void write() const override;

    QString directory_path; // "Path", the user's videos folder by default
    int trick_mode = 1;     // "Trick_mode", write the ".sdx" index beside each recording
};

// Section "video".
class videoCfg : public cfg_list {
  public:
    explicit videoCfg(Config *cfg);
    void read() override;
    void write() const override;

    int stabilizer_state = 0; // "stabilizer_state", selected stabiliser, 0 for none
};

// Section "volume".
class volumeCfg : public cfg_list {
  public:
    // Values of volume_on.
    enum VolumeState { VOLUME_OFF = 0, VOLUME_ON = 1 };

    explicit volumeCfg(Config *cfg);
    void read() override;
    void write() const override;

    int volume_val = 30;       // "Volume_val", percent 0-100
    int volume_on = VOLUME_ON; // "Volume_On"
};

// Section "playback": file playback and re-streaming of the played file.
class playbackCfg : public cfg_list {
  public:
    explicit playbackCfg(Config *cfg);
    void read() override;
    void write() const override;

    QString path = "/";         // "Path", file last chosen for playback
    int is_trick_mode = 0;      // "is_trick_mode", play with the ".sdx" index
    int direction = 0;          // "Direction", PLAYER_DIR_* of the engine
    int speed = 1;              // "Speed", PLAYER_SPD_* of the engine
    int is_stream = 0;          // "is_stream", re-stream the played file
    QString ip = "192.168.0.8"; // "IP", re-streaming destination
    int port = 1234;            // "Port", re-streaming destination
    int is_display_stream = 0;  // "is_display_stream", also display while re-streaming
    int loop_playback = 1;      // "loop_playback", restart at the end of the file
};

// Section "board_ip": the video board that receives the streaming on/off command. The player
// never writes it; it is edited by hand.
class board_ip : public cfg_list {
  public:
    explicit board_ip(Config *cfg);
    void read() override;
    void write() const override;

    QString ip = "0"; // "IP"
};

// Section "stream_data_save": where extracted metadata goes.
class stream_data_save : public cfg_list {
  public:
    explicit stream_data_save(Config *cfg);
    void read() override;
    void write() const override;

    QString ip = "127.0.0.1";        // "IP", UDP destination
    int is_save_by_file = 0;         // "is_file"
    int is_send_by_eth = 0;          // "is_eth"
    QString file_name = "/data.bin"; // "File_name"
    int port = 1234;                 // "Port", UDP destination
    int rtp_max_err = 10;            // "rtp_max_err", upper bound of the RTP error chart
};

// Section "AI_Encode".
class AIEncodeCfg : public cfg_list {
  public:
    // Values of track_fps: which stream the frame-rate meter counts.
    enum TrackFps { BG_FPS = 0, FG_FPS = 1 };

    explicit AIEncodeCfg(Config *cfg);
    void read() override;
    void write() const override;

    int track_fps = BG_FPS; // "Track_fps"
};

// All sections and the in-memory image of the file. Owns the sections in p_cfg_list.
class Config {
  public:
    // Builds the file name, creates its directory and the sections with their defaults. Does
    // not read the file.
    Config();
    ~Config();

    // Reads and parses the file into json_doc, then read_cfg(). 0, or -1 when the file cannot
    // be opened (json_doc and the sections are then unchanged). Malformed text reads as an
    // empty document.
    int load_cfg();
    // read() of every section in list order; true when a section threw and the pass stopped.
    bool read_cfg();
    // Rewrites the file with the indented text of json_doc. 0, or -1 when it cannot be written.
    int save_cfg();
    // write() of every section in list order, stopping at the first that throws.
    void write_cfg() const;
    // Deletes the file; true when it was removed.
    bool remove_file();

    QString file_name;
    // network, record, video, volume, playback, board_ip, stream_data_save, AI_Encode
    QList<cfg_list *> p_cfg_list;
    networkCfg *p_networkCfg = nullptr;
    recordCfg *p_recordCfg = nullptr;
    volumeCfg *p_volume = nullptr;
    playbackCfg *p_playbackCfg = nullptr;
    board_ip *p_board_ip = nullptr;
    videoCfg *p_videoCfg = nullptr;
    stream_data_save *p_stream_data = nullptr;
    AIEncodeCfg *p_AIEncodeCfg = nullptr;
    // The file as last loaded or saved; a section write that could not be saved stays here.
    QJsonDocument json_doc;

  private:
    Q_DISABLE_COPY(Config)
};

// The player's one configuration, set by the main window; null until then.
extern Config *m_mpCfg;
