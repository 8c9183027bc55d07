#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QResizeEvent>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "jsncfg.h"
#include "network_stream.h"
#include "socket.h"

// One line per status poll when enabled, e.g. QT_LOGGING_RULES="quorvex.status.debug=true".
Q_LOGGING_CATEGORY(lcStatus, "quorvex.status", QtInfoMsg)

quorvex_t *m_quorvex = nullptr;
quorvex_handle_t m_VidDisp = 0;
quorvex_info_t m_info = {};
int isStream = 0, isRecord = 0, isPlayback = 0, isStreamPlayback = 0;
int active_app = STREAMING_APP;
unsigned int board_addr = 0;
int tx_soxket = 0;
unsigned int g_log_state = 0;
int width_screen = 720, height_screen = 576;
int isOut = 1;

namespace {

int animatStutuse = 1;
int stream_animate = 0;
int av_volume = 0;

const char *const ICON_RECORD = ":/new/menuebar/bitmap/record.png";
const char *const ICON_RECORD_ON = ":/new/menuebar/bitmap/record2.png";
const char *const ICON_STREAM = ":/new/menuebar/bitmap/stream.png";

// Latin-1 text into a fixed record field, cut to fit with its terminating zero.
template <size_t N> void copy_latin1(char (&dst)[N], const QString &text) {
    const QByteArray bytes = text.toLatin1();
    const size_t n = std::min((size_t)bytes.size(), N - 1);
    memcpy(dst, bytes.constData(), n);
    dst[n] = 0;
}

// A heap copy the engine reads during the set call; freed by the caller right after.
char *heap_copy(const QByteArray &text) {
    return strdup(text.constData());
}

} // namespace

QByteArray format_stream_credentials(const QString &user, const QString &password,
                                     const QString &address, bool *fits) {
    *fits = true;
    if (user.isEmpty() || password.isEmpty())
        return QByteArray();
    char buf[STREAM_URL_BUF];
    const QByteArray u = QUrl::toPercentEncoding(user);
    const QByteArray p = QUrl::toPercentEncoding(password);
    const int n = snprintf(buf, sizeof(buf), "%s:%s@%s", u.constData(), p.constData(),
                           address.toLatin1().constData());
    if (n < 0 || n >= (int)sizeof(buf)) {
        *fits = false;
        return QByteArray();
    }
    return QByteArray(buf, n);
}

char *getCmdOption(char **begin, char **end, const std::string &option) {
    char **it = std::find_if(begin, end, [&](const char *a) { return a && option == a; });
    if (it != end && ++it != end)
        return *it;
    return nullptr;
}

bool apply_url_option(const QString &value, networkCfg *net) {
    bool start = false;
    // rtsp-tcp://@10.0.0.5:554/live.sdp
    QRegularExpressionMatch m =
        QRegularExpression("(\\w+)-(\\w+)://@(\\w.*):(\\d+)/(\\w+[.]\\w*)").match(value);
    if (m.hasMatch()) {
        if (m.captured(1) == "rtsp") {
            net->ts = networkCfg::RTSP;
            if (m.captured(2) == "tcp") {
                net->rtsp_mode = networkCfg::RTSP_TCP;
                start = true;
            } else if (m.captured(2) == "udp") {
                net->rtsp_mode = networkCfg::RTSP_UDP;
                start = true;
            }
        }
        net->rtsp_url = m.captured(3);
        net->port = m.captured(4).toInt();
        net->rtsp_sdp = m.captured(5);
    } else {
        // ts://@:1234 (the unicast or multicast mode stays as configured)
        m = QRegularExpression("(\\w+)://@:(\\d.*)").match(value);
        if (m.hasMatch() && m.captured(1) == "ts") {
            net->ts = networkCfg::TRANSPORT;
            net->port = m.captured(2).toInt();
            start = true;
        }
    }
    // ts://@239.1.1.1:5000
    m = QRegularExpression("(\\w+)://@(\\d+.\\d+.\\d+.\\d+):(\\d+)").match(value);
    if (m.hasMatch() && m.captured(1) == "ts") {
        net->mode = networkCfg::MULTICAST;
        net->ts = networkCfg::TRANSPORT;
        net->ip = m.captured(2);
        net->port = m.captured(3).toInt();
        start = true;
    }
    return start;
}

CommandLine parse_command_line(int argc, char **argv, networkCfg *net, recordCfg *rec) {
    CommandLine cl;
    char **end = argv + argc;
    if (const char *url = getCmdOption(argv, end, "-url"))
        cl.start = apply_url_option(QString::fromLocal8Bit(url), net);
    if (const char *size = getCmdOption(argv, end, "-size")) {
        QRegularExpressionMatch m = QRegularExpression("(\\d+)x(\\d+)").match(size);
        if (m.hasMatch()) {
            cl.resize = true;
            cl.size = QSize(m.captured(1).toInt(), m.captured(2).toInt());
        }
    }
    if (const char *pos = getCmdOption(argv, end, "-pos")) {
        QRegularExpressionMatch m = QRegularExpression("(\\d+),(\\d+)").match(pos);
        if (m.hasMatch()) {
            cl.move = true;
            cl.pos = QPoint(m.captured(1).toInt(), m.captured(2).toInt());
        }
    }
    if (!cl.start)
        return cl;
    if (const char *dir = getCmdOption(argv, end, "-rec")) {
        QString path = QString::fromLocal8Bit(dir);
        if (QDir(path).exists() || QDir().mkdir(path)) {
            rec->directory_path = path;
            net->is_recording = 1;
        }
    }
    qDebug("%s.%d ", "start_command_line", __LINE__);
    return cl;
}

// ---------------------------------------------------------------------------------------------
// Construction and shutdown

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), get_action_info_timer(new QTimer(this)),
      playAnimateQtimer(new QTimer(this)), StreamAnimateQtimer(new QTimer(this)),
      checkResize(new QTimer(this)) {
    Q_INIT_RESOURCE(player);
    ui->setupUi(this);
    setAcceptDrops(true);
    ui->actionFit_to_Window->setChecked(true);
    ui->actionFit_Window->setChecked(false);
    ui->actionRTP_Errors->setEnabled(false);
    for (QAction *ch : {ui->actionChannel_1, ui->actionChannel_2}) {
        ch->setChecked(false);
        ch->setEnabled(false);
    }

    dll_msg = new QLabel(ui->app_name_lbl);
    dll_msg->setGeometry(250, 0, 210, 35);
    dll_msg->setStyleSheet("background-color:black;color:red;font-size:15px;font-weight:bold");
    dll_msg->setText("          Library loading failed!");

    // Sections missing from the file (or no file at all) keep their defaults.
    Config *cfg = new Config();
    cfg->load_cfg();
    m_mpCfg = cfg;

    if (m_quorvex)
        dll_msg->hide();
    else
        ui->symbole->hide();

    const volumeCfg &vol = *m_mpCfg->p_volume;
    av_volume = vol.volume_val;
    {
        // The initial value is applied below without the slider's handler saving it back.
        QSignalBlocker block(ui->volume_slider);
        ui->volume_slider->setValue(av_volume);
    }
    apply_volume(vol.volume_on ? av_volume : 0);
    ui->volume_btn->setVisible(vol.volume_on != 0);
    ui->volume_off_btn->setVisible(vol.volume_on == 0);
    ui->volume_lable->setText(QString::number(av_volume) + "%");

    load_branding();
    center_logo();
    {
        QSignalBlocker block(ui->actionHW_Acceleration);
        ui->actionHW_Acceleration->setChecked(m_mpCfg->p_networkCfg->hw_acc != 0);
    }

    connect_menus();
    init_widget_states();

    get_action_info_timer->start(1000);
    open_board_socket();

    auto *open_key = new QShortcut(QKeySequence("Ctrl+O"), this);
    connect(open_key, &QShortcut::activated, this, &MainWindow::on_playButton_clicked);
    auto *stop_key = new QShortcut(QKeySequence("Ctrl+S"), this);
    connect(stop_key, &QShortcut::activated, this, &MainWindow::stop_all);
}

MainWindow::~MainWindow() {
    get_action_info_timer->stop();
    term_video_stream();
    // The play handle stays open for the life of the process: the engine may still call the
    // video event callback from its threads until it is closed, so close it before the window
    // that receives those calls goes away.
    if (m_quorvex && m_VidDisp) {
        m_quorvex->Quorvex_close(m_VidDisp);
        m_VidDisp = 0;
    }
    if (tx_soxket) {
        Socket_Close((unsigned int)tx_soxket);
        tx_soxket = 0;
    }
    board_addr = 0;
    delete ui;
    if (m_mpCfg) {
        Config *cfg = m_mpCfg;
        m_mpCfg = nullptr;
        delete cfg;
    }
}

void MainWindow::connect_menus() {
    connect(ui->actionNetwork_Stream, &QAction::triggered, this, &MainWindow::setNetworkStream);
    connect(ui->actionStart_Streaming, &QAction::triggered, this,
            &MainWindow::on_playButton_clicked);
    connect(ui->actionStop_All, &QAction::triggered, this, &MainWindow::stop_all);
    connect(ui->actionFit_Window, &QAction::triggered, this, &MainWindow::set_video_fit);
    connect(ui->actionFit_to_Window, &QAction::triggered, this, &MainWindow::set_video_fit2window);
    connect(ui->actionFullscreen, &QAction::triggered, this, &MainWindow::set_video_full);
    connect(ui->actionChannel_1, &QAction::triggered, this, &MainWindow::set_audio_ch1);
    connect(ui->actionChannel_2, &QAction::triggered, this, &MainWindow::set_audio_ch2);
    connect(ui->menuAudio, &QMenu::aboutToShow, this, &MainWindow::get_ch_info);
    connect(playAnimateQtimer, &QTimer::timeout, this, &MainWindow::playAnimate);
    connect(StreamAnimateQtimer, &QTimer::timeout, this, &MainWindow::streamAnimate);
    connect(checkResize, &QTimer::timeout, this, &MainWindow::check_resize);
    connect(get_action_info_timer, &QTimer::timeout, this, &MainWindow::get_action_info);
    connect(this, &MainWindow::Event_videoSizeChange, this, &MainWindow::imp_video_frame_size);
}

void MainWindow::init_widget_states() {
    for (QWidget *w : {(QWidget *)ui->pause, (QWidget *)ui->tag_list, (QWidget *)ui->wait_frame,
                       (QWidget *)ui->stream, (QWidget *)ui->unpinBtn, (QWidget *)ui->outBtn,
                       (QWidget *)ui->play_speed})
        w->hide();
    ui->actionStart_Streaming->setEnabled(true);
    ui->sof_lbl->setEnabled(false);
    ui->eof_lbl->setEnabled(false);
    ui->status_slider->setEnabled(false);
    ui->Record->setEnabled(true);
    ui->pinBtn->setAttribute(Qt::WA_TranslucentBackground);
    ui->pinBtn->show();
    ui->Port_lbl->show();
    ui->menuAi_Encoder->menuAction()->setVisible(m_mpCfg->p_networkCfg->ts == networkCfg::ROW_H265);
    // The engine draws straight into the frame's own X window.
    ui->playerFrame->setAttribute(Qt::WA_NativeWindow);
    ui->playerFrame->setAttribute(Qt::WA_NoSystemBackground);
}

// "app_logo.png" and "app_name.txt" in the working directory replace the built-in logo and name.
void MainWindow::load_branding() {
    if (QFile::exists("app_logo.png")) {
        QPixmap logo("app_logo.png");
        ui->symbole->setPixmap(logo);
        setWindowIcon(QIcon(logo));
    }
    QFile name("app_name.txt");
    if (name.open(QIODevice::ReadOnly)) {
        const QString text = QString::fromUtf8(name.readAll());
        setWindowTitle(text);
        ui->app_name_lbl->setText(text);
    }
}

void MainWindow::center_logo() {
    const QRect frame = ui->playerFrame->geometry();
    ui->symbole->setGeometry(frame.x() + (frame.width() - 80) / 2,
                             frame.y() + (frame.height() - 80) / 2, 80, 80);
    const int w = ui->app_name_lbl->width();
    ui->app_name_lbl->move(frame.x() + (frame.width() - w) / 2, ui->symbole->geometry().bottom());
    ui->app_name_lbl->setAlignment(Qt::AlignCenter);
}

// An empty address means no board: no socket either. "0" converts to address 0, which opens
// the socket but never sends.
void MainWindow::open_board_socket() {
    board_addr = 0;
    const QString ip = m_mpCfg->p_board_ip->ip;
    if (ip.isEmpty())
        return;
    board_addr = Socket_Str2Addr(ip.toLatin1().constData());
    if (board_addr == 0xFFFFFFFFu) // not an address
        board_addr = 0;
    tx_soxket = (int)Socket_UDPSocket();
}

int MainWindow::start_command_line(int argc, char **argv) {
    const CommandLine cl =
        parse_command_line(argc, argv, m_mpCfg->p_networkCfg, m_mpCfg->p_recordCfg);
    if (cl.resize)
        resize(cl.size);
    if (cl.move)
        move(cl.pos);
    if (cl.start)
        init_video();
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Engine instance and live streaming

int MainWindow::init_vid_app() {
    if (m_VidDisp)
        return 0;
    if (!m_quorvex) {
        dll_msg->show();
        return -1;
    }
    dll_msg->hide();
    quorvex_setup_t setup = {};
    setup.flags = 4;
    setup.self_draw = 0;
    setup.hwnd = (HWND)(uintptr_t)ui->playerFrame->winId();
    setup.hw_acc = m_mpCfg->p_networkCfg->hw_acc;
    const int rc = m_quorvex->Quorvex_open(setup, &m_VidDisp);
    if (m_VidDisp) {
        stabilizer_params_t stab = {};
        stab.state = m_mpCfg->p_videoCfg->stabilizer_state;
        m_quorvex->Quorvex_set_stabilizer(m_VidDisp, stab);
        m_quorvex->Quorvex_set_video_event_callback(m_VidDisp, video_change_callback, this);
    }
    return rc;
}

int MainWindow::init_video() {
    const int rc = init_vid_app();
    if (rc != 0)
        return rc;
    const networkCfg &net = *m_mpCfg->p_networkCfg;
    const stream_data_save &dsave = *m_mpCfg->p_stream_data;

    // An address with credentials that does not fit the URL buffer would reach the server cut
    // short; refuse it instead of starting a stream that cannot log in.
    const bool rtsp = net.ts == networkCfg::RTSP, rtmp = net.ts == networkCfg::RTMP;
    bool fits = true;
    QByteArray server_url;
    if (rtsp || rtmp) {
        const QString &address = rtsp ? net.rtsp_url : net.rtmp_url;
        server_url =
            format_stream_credentials(net.rtsp_userName, net.rtsp_password, address, &fits);
        if (!fits) {
            qWarning("init_video: server address with credentials longer than %d bytes",
                     STREAM_URL_BUF - 1);
            return -1;
        }
        if (server_url.isEmpty())
            server_url = address.toLatin1();
    }

    streaming_setup_t streaming = {};
    encryption_setup_t encryption = {};
    data_setup_t data = {};

    data.is_save_by_file = dsave.is_save_by_file;
    data.is_send_by_eth = dsave.is_send_by_eth;
    data.ip = Socket_Str2Addr(dsave.ip.toLatin1().constData());
    data.port = dsave.port;
    data.file_name = heap_copy(dsave.file_name.toLatin1());

    encryption.is_encryption = net.is_encryp;
    const int key_len = std::max(0, std::min(net.key_len, (int)sizeof(encryption.key)));
    memcpy(encryption.key, net.enc_key, (size_t)key_len);
    encryption.len = key_len;

    ui->menuAi_Encoder->menuAction()->setVisible(false);
    ui->actionRTP_Errors->setEnabled(false);
    switch (net.ts) {
    case networkCfg::TRANSPORT:
        streaming.protocol = Protocol_UDPTS;
        break;
    case networkCfg::RTP:
        streaming.protocol = Protocol_RTPUDP;
        ui->actionRTP_Errors->setEnabled(true);
        break;
    case networkCfg::SPLIT:
        streaming.protocol = Protocol_Split;
        break;
    case networkCfg::RTSP:
        streaming.protocol = net.rtsp_mode ? Protocol_RTSPTCP : Protocol_RTSPUDP;
        break;
    case networkCfg::ROW_H265:
        streaming.protocol = Protocol_RAW_H265;
        ui->menuAi_Encoder->menuAction()->setVisible(true);
        break;
    case networkCfg::ROW_H264:
        streaming.protocol = Protocol_RAW_H264;
        break;
    case networkCfg::RTMP:
        streaming.protocol = Protocol_RTMP;
        break;
    default:
        streaming.protocol = Protocol_PRIVATE;
        break;
    }
    if (net.mode == networkCfg::MULTICAST)
        streaming.multicast_addr = Socket_Str2Addr(net.ip.toLatin1().constData());
    streaming.port = net.port;
    streaming.delay_frame_ms = net.sync_delay;
    streaming.reorder_frames = net.reorder_frames;
    streaming.dropseq_mode = net.handle_errors;
    streaming.rtp_payload_type = net.rtp_payload_type;
    streaming.deinterlace_flag = net.is_deinterlace;
    if (rtsp) {
        streaming.rtsp_url = heap_copy(server_url);
        streaming.rtsp_sdp = heap_copy(net.rtsp_sdp.toLatin1());
        streaming.rtsp_port = net.rtsp_serial_port;
    } else if (rtmp) {
        streaming.rtmp_url = heap_copy(server_url);
        streaming.rtmp_sdp = heap_copy(net.rtmp_sdp.toLatin1());
        streaming.rtmp_port = net.rtmp_port;
    }

    m_quorvex->Quorvex_set_data_param(m_VidDisp, data);
    m_quorvex->Quorvex_set_streaming_param(m_VidDisp, streaming);
    m_quorvex->Quorvex_set_encryption_param(m_VidDisp, encryption);
    // The engine keeps its own copies of every text it was given.
    free(data.file_name);
    free(streaming.rtsp_url);
    free(streaming.rtsp_sdp);
    free(streaming.rtmp_url);
    free(streaming.rtmp_sdp);

    int flags = 0;
    if (net.is_recording) {
        record_setup_t record = {};
        copy_latin1(record.directory_path, m_mpCfg->p_recordCfg->directory_path);
        record.is_trick_mode = m_mpCfg->p_recordCfg->trick_mode;
        record.file_name = nullptr;
        m_quorvex->Quorvex_set_record_param(m_VidDisp, record);
        flags |= 8;
    }
    flags |= 4;
    m_quorvex->Quorvex_stop(m_VidDisp, 4);
    m_quorvex->Quorvex_start(m_VidDisp, flags);
    m_quorvex->Quorvex_set_log_bits(m_VidDisp, g_log_state);

    ui->symbole->hide();
    ui->app_name_lbl->hide();
    return 0;
}

void MainWindow::term_video_stream() {
    ui->actionRTP_Errors->setEnabled(false);
    if (m_quorvex && m_VidDisp)
        m_quorvex->Quorvex_stop(m_VidDisp, 12);
}

void MainWindow::stop_playback() {
    if (!m_quorvex || !m_VidDisp)
        return;
    ui->wait_frame->hide();
    m_quorvex->Quorvex_stop(m_VidDisp, 3);
    set_streaming_opertion(1);
}

void MainWindow::stop_all() {
    term_video_stream();
    stop_playback();
    if (m_quorvex && m_VidDisp)
        m_quorvex->Quorvex_switch_dispatch(m_VidDisp, STREAMING_APP);
    ui->actionRTP_Errors->setEnabled(false);
}

void MainWindow::on_stop_clicked() {
    stop_all();
}

void MainWindow::on_playButton_clicked() {
    if (active_app == PLAYBACK_APP)
        return; // file playback comes with the playback controls
    if (isStream)
        return;
    qDebug("%s.%d ", "on_playButton_clicked", __LINE__);
    init_video();
}

void MainWindow::on_pause_clicked() {
    if (active_app == STREAMING_APP)
        term_video_stream();
}

void MainWindow::setNetworkStream() {
    network_stream dlg(this);
    if (dlg.exec() != QDialog::Accepted)
        return;
    qDebug("%s.%d ", "setNetworkStream", __LINE__);
    init_video();
}

// ---------------------------------------------------------------------------------------------
// Recording

bool MainWindow::record_directory_exists() const {
    const QString dir = m_mpCfg->p_recordCfg->directory_path;
    return !dir.isEmpty() && QFileInfo(dir).isDir();
}

void MainWindow::stop_record() {
    if (m_quorvex && m_VidDisp)
        m_quorvex->Quorvex_stop(m_VidDisp, 8);
}

void MainWindow::start_record() {
    if (!m_quorvex || !m_VidDisp)
        return;
    if (!record_directory_exists()) {
        network_stream dlg(this);
        if (dlg.exec() != QDialog::Accepted)
            return;
    }
    record_setup_t record = {};
    copy_latin1(record.directory_path, m_mpCfg->p_recordCfg->directory_path);
    record.is_trick_mode = m_mpCfg->p_recordCfg->trick_mode;
    record.file_name = nullptr;
    m_quorvex->Quorvex_set_record_param(m_VidDisp, record);
    m_quorvex->Quorvex_start(m_VidDisp, 8);
    m_quorvex->Quorvex_set_log_bits(m_VidDisp, g_log_state);
}

void MainWindow::on_Record_clicked() {
    if (isRecord) {
        stop_record();
    } else if (isStream) {
        start_record();
    } else if (record_directory_exists()) {
        m_mpCfg->p_networkCfg->is_recording = 1;
        qDebug("%s.%d ", "on_Record_clicked", __LINE__);
        init_video();
    } else {
        network_stream dlg(this);
        dlg.exec();
    }
}

// ---------------------------------------------------------------------------------------------
// Board command, re-streaming, display switch

int MainWindow::set_streaming_opertion(int on) {
    if (board_addr == 0)
        return 0;
    static const unsigned char cmd_on[6] = {0xA5, 0x2B, 0xD3, 0x02, 0x00, 0x01};
    static const unsigned char cmd_off[6] = {0xA5, 0x2B, 0xD2, 0x02, 0x00, 0x00};
    const int sent = Socket_SendTo((unsigned int)tx_soxket, on == 1 ? cmd_on : cmd_off, 6,
                                   board_addr, BOARD_CMD_PORT);
    return sent == 6 ? 6 : -1;
}

void MainWindow::on_stream_clicked() {
    if (!m_quorvex || !m_VidDisp)
        return;
    if (isStreamPlayback) {
        m_quorvex->Quorvex_stop(m_VidDisp, 2);
        set_streaming_opertion(1);
    } else if (isPlayback) {
        set_streaming_opertion(0);
        m_quorvex->Quorvex_start(m_VidDisp, 2);
        m_quorvex->Quorvex_set_log_bits(m_VidDisp, g_log_state);
    }
}

void MainWindow::on_switch_dispatch_clicked() {
    if (m_quorvex && m_VidDisp)
        m_quorvex->Quorvex_switch_dispatch(m_VidDisp, active_app == PLAYBACK_APP ? 0 : 1);
    else
        active_app = active_app == PLAYBACK_APP ? STREAMING_APP : PLAYBACK_APP;
}

void MainWindow::on_actionSwitch_Dispuch_triggered() {
    on_switch_dispatch_clicked();
}

void MainWindow::video_change_callback(void *user, int w, int h) {
    emit static_cast<MainWindow *>(user)->Event_videoSizeChange(w, h);
}

// ---------------------------------------------------------------------------------------------
// Status poll

void MainWindow::get_action_info() {
    m_info = {};
    if (m_quorvex && m_VidDisp) {
        m_quorvex->Quorvex_get_info(m_VidDisp, &m_info, 0);
        active_app = m_info.active_app;
    }
    const int bits = m_info.action_bit;
    isStream = (bits >> 2) & 1;
    isRecord = isStream ? (bits >> 3) & 1 : 0;
    isPlayback = bits & 1;
    isStreamPlayback = isPlayback ? (bits >> 1) & 1 : 0;

    if (!isRecord && playAnimateQtimer->isActive()) {
        animatStutuse = 1;
        playAnimateQtimer->stop();
        ui->Record->setIcon(QIcon(ICON_RECORD));
    }
    ui->streaming_on->setStyleSheet(isStream ? "color:#00ff00" : "color:#888888");
    ui->switch_dispatch->setStyleSheet(isPlayback ? "color:#00ff00" : "color:#888888");

    if (active_app == PLAYBACK_APP) {
        show_playback_controls();
        if (isStreamPlayback && !StreamAnimateQtimer->isActive())
            StreamAnimateQtimer->start(500);
    }
    if (!isStreamPlayback) {
        StreamAnimateQtimer->stop();
        ui->stream->setIcon(QIcon(ICON_STREAM));
    }
    if (active_app == STREAMING_APP)
        show_live_controls();
    if (bits == 0) {
        ui->playButton->show();
        ui->pause->hide();
    }
    // Nothing decoded yet reads as 0x0; the last size stays for the idle picture.
    const bool size_known = m_info.inp_width > 0 && m_info.inp_height > 0;
    if (size_known && (m_info.inp_width != width_screen || m_info.inp_height != height_screen)) {
        width_screen = m_info.inp_width;
        height_screen = m_info.inp_height;
        resizePlayer();
    }
    log_status();
}

void MainWindow::show_playback_controls() {
    for (QWidget *w : {(QWidget *)ui->sof_lbl, (QWidget *)ui->status_slider, (QWidget *)ui->eof_lbl,
                       (QWidget *)ui->stream, (QWidget *)ui->play_speed})
        w->show();
    ui->Record->hide();
    ui->Port_lbl->hide();
}

void MainWindow::show_live_controls() {
    const networkCfg &net = *m_mpCfg->p_networkCfg;
    ui->tag_list->hide();
    const int port = net.ts == networkCfg::RTSP   ? net.rtsp_serial_port
                     : net.ts == networkCfg::RTMP ? net.rtmp_port
                                                  : net.port;
    ui->Port_lbl->setText("Port:" + QString::number(port));
    ui->Port_lbl->resize(ui->Port_lbl->fontMetrics().horizontalAdvance(ui->Port_lbl->text()),
                         ui->Port_lbl->height());
    ui->pause->setVisible(isStream != 0);
    ui->playButton->setVisible(isStream == 0);
    for (QWidget *w : {(QWidget *)ui->sof_lbl, (QWidget *)ui->status_slider, (QWidget *)ui->eof_lbl,
                       (QWidget *)ui->stream, (QWidget *)ui->play_speed})
        w->hide();
    ui->Record->show();
    ui->Port_lbl->show();
    if (isRecord && !playAnimateQtimer->isActive())
        playAnimateQtimer->start(500);
}

void MainWindow::log_status() const {
    if (!lcStatus().isDebugEnabled())
        return;
    const get_stream_info &s = m_info.get_strm_info;
    qCDebug(lcStatus,
            "status: action_bit %d video %dx%d fps %d bitrate %d decoded %d shown %d "
            "errors %d",
            m_info.action_bit, m_info.inp_width, m_info.inp_height, s.inp_fps, s.imp_bitrate,
            s.inp_dec_frame, s.inp_disp_frames, s.inp_dec_error);
}

void MainWindow::playAnimate() {
    ui->Record->setIcon(QIcon(animatStutuse == 1 ? ICON_RECORD_ON : ICON_RECORD));
    animatStutuse = -animatStutuse;
}

void MainWindow::streamAnimate() {
    static const char *const icons[4] = {
        ":/new/menuebar/bitmap/stream1.png", ":/new/menuebar/bitmap/stream2.png",
        ":/new/menuebar/bitmap/stream3.png", ":/new/menuebar/bitmap/stream.png"};
    ui->stream->setIcon(QIcon(icons[stream_animate & 3]));
    stream_animate = (stream_animate + 1) & 3;
}

// ---------------------------------------------------------------------------------------------
// Volume, audio channels, hardware acceleration

// Keeps the level for the process's output; no output volume control is wired to it yet, and
// the engine's own level is left alone.
void MainWindow::apply_volume(int percent) {
    av_volume = std::max(0, std::min(percent, 100));
}

void MainWindow::on_volume_slider_valueChanged(int value) {
    ui->volume_lable->setText(QString::number(value) + "%");
    ui->volume_slider->setToolTip(QString::number(value) + "%");
    ui->volume_btn->show();
    ui->volume_off_btn->hide();
    apply_volume(value);
    volumeCfg &vol = *m_mpCfg->p_volume;
    vol.volume_on = volumeCfg::VOLUME_ON;
    vol.volume_val = value;
    vol.write();
}

void MainWindow::on_volume_btn_clicked() {
    ui->volume_btn->hide();
    ui->volume_off_btn->show();
    apply_volume(0);
    m_mpCfg->p_volume->volume_on = volumeCfg::VOLUME_OFF;
    m_mpCfg->p_volume->write();
}

void MainWindow::on_volume_off_btn_clicked() {
    ui->volume_btn->show();
    ui->volume_off_btn->hide();
    apply_volume(m_mpCfg->p_volume->volume_val);
    m_mpCfg->p_volume->volume_on = volumeCfg::VOLUME_ON;
    m_mpCfg->p_volume->write();
}

void MainWindow::get_ch_info() {
    const bool engine = m_quorvex && m_VidDisp;
    const int count = engine ? m_quorvex->Quorvex_get_audio_ch_count(m_VidDisp) : 0;
    const int active = engine ? m_quorvex->Quorvex_get_active_audio_ch(m_VidDisp) : 0;
    if (count == 0) {
        ui->actionChannel_1->setEnabled(false);
        ui->actionChannel_2->setEnabled(false);
    } else if (count == 1) {
        ui->actionChannel_1->setEnabled(true);
        ui->actionChannel_1->setChecked(true);
        ui->actionChannel_2->setEnabled(false);
        ui->actionChannel_2->setChecked(false);
    } else if (count == 2) {
        ui->actionChannel_1->setEnabled(true);
        ui->actionChannel_2->setEnabled(true);
        ui->actionChannel_1->setChecked(active == 0);
        ui->actionChannel_2->setChecked(active != 0);
    }
}

// Switches to channel `ch` when the other entry, `other`, is the ticked one.
void MainWindow::select_audio_channel(QAction *other, int ch) {
    if (!other->isChecked())
        return;
    other->setChecked(false);
    if (m_quorvex && m_VidDisp)
        m_quorvex->Quorvex_set_active_audio_ch(m_VidDisp, ch);
}

void MainWindow::set_audio_ch1() {
    select_audio_channel(ui->actionChannel_2, 0);
}

void MainWindow::set_audio_ch2() {
    select_audio_channel(ui->actionChannel_1, 1);
}

void MainWindow::on_actionHW_Acceleration_toggled(bool on) {
    networkCfg &net = *m_mpCfg->p_networkCfg;
    net.hw_acc = on ? 1 : 0;
    net.write();
    if (m_quorvex && m_VidDisp) {
        m_quorvex->Quorvex_stop(m_VidDisp, -1);
        m_quorvex->Quorvex_set_hw_acc(m_VidDisp, net.hw_acc);
    }
}

// ---------------------------------------------------------------------------------------------
// Video area sizing and window modes

void MainWindow::resizePlayer() {
    const int bar = ui->grayFrm->height() * isOut;
    const int avail_w = ui->centralWidget->width();
    const int avail_h = ui->centralWidget->height() - bar;
    if (ui->actionFit_Window->isChecked() || ui->actionFit_to_Window->isChecked()) {
        QSize size(width_screen, height_screen);
        size.scale(avail_w, std::max(avail_h, 0), Qt::KeepAspectRatio);
        qDebug("%s.%d src: video_w(%d) video_h(%d)", "resizePlayer", __LINE__,
               ui->playerFrame->width(), ui->playerFrame->height());
        ui->playerFrame->resize(size);
        qDebug("%s.%d dst: video_w(%d) video_h(%d)", "resizePlayer", __LINE__,
               ui->playerFrame->width(), ui->playerFrame->height());
    } else {
        ui->playerFrame->resize(width_screen, height_screen);
        qDebug("%s.%d video_w(%d) video_h(%d)", "resizePlayer", __LINE__, width_screen,
               height_screen);
    }
    ui->playerFrame->move((avail_w - ui->playerFrame->width()) / 2,
                          (avail_h - ui->playerFrame->height()) / 2);
    resize_display_menu();
}

void MainWindow::resize_display_menu() {
    const int W = width(), H = height();
    const int left = (int)(W * 0.11), right = (int)(W * 0.89);
    ui->action_group->setVisible(W > 540);
    ui->action_group->setGeometry(ui->eof_lbl->x() - 120, 10, 90, 80);
    ui->sof_lbl->move(left - 40, ui->sof_lbl->y());
    ui->eof_lbl->move(right + 10, ui->eof_lbl->y());
    ui->status_slider->setGeometry(left, ui->status_slider->y(), right - left,
                                   ui->status_slider->height());
    ui->play_speed->move(std::max(260, (int)(W * 0.5 - ui->play_speed->width() * 0.5)),
                         ui->play_speed->y());
    ui->Port_lbl->move(std::max(270, (W - ui->play_speed->width()) / 2), ui->Port_lbl->y());
    ui->inBtn->move(W - 25, H - 50);
    ui->outBtn->setGeometry(W - 25, H - 50, ui->inBtn->width(), ui->inBtn->height());
    ui->pinBtn->move(ui->pinBtn->x(), H - 50);
    ui->unpinBtn->setGeometry(ui->pinBtn->x(), H - 50, ui->pinBtn->width(), ui->pinBtn->height());
    ui->grayFrm->setGeometry(0, ui->centralWidget->height() - ui->grayFrm->height(), W,
                             ui->grayFrm->height());
    ui->control->move(ui->status_slider->x(), ui->control->y());
    if (isOut == 1) {
        ui->grayFrm->show();
        ui->inBtn->show();
        ui->outBtn->hide();
    } else {
        ui->grayFrm->hide();
        ui->tag_list->hide();
        ui->outBtn->show();
    }
    ui->playerFrame->raise();
    if (isOut == 1)
        ui->grayFrm->raise();
    center_logo();
    for (QWidget *w : {(QWidget *)ui->symbole, (QWidget *)ui->app_name_lbl, (QWidget *)ui->inBtn,
                       (QWidget *)ui->outBtn, (QWidget *)ui->pinBtn, (QWidget *)ui->unpinBtn})
        w->raise();
    ui->tag_list->hide();
}

void MainWindow::imp_video_frame_size(int video_w, int video_h) {
    const int bar = ui->grayFrm->height() * isOut;
    if (ui->actionFit_Window->isChecked()) {
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        const int sw = screen.width(), sh = screen.height();
        qDebug("%s.%d", "imp_video_frame_size", __LINE__);
        if (video_w > sw || video_h > sh - bar) {
            QSize size(video_w, video_h);
            size.scale(sw, sh - bar, Qt::KeepAspectRatio);
            video_w = size.width();
            video_h = size.height();
        }
        setGeometry((sw - video_w) / 2, (sh - video_h) / 2, video_w, video_h);
        qDebug("%s.%d video_w(%d) video_h(%d)", "imp_video_frame_size", __LINE__, video_w, video_h);
        ui->playerFrame->resize(video_w, video_h);
    }
    width_screen = video_w;
    height_screen = video_h;
    resizePlayer(); // lays out the control bar too
}

void MainWindow::resizeEvent(QResizeEvent *event) {
    QMainWindow::resizeEvent(event);
    resize_param = event->size();
    if (!checkResize->isActive())
        checkResize->start(1);
}

// The bar stays hidden while the operator drags the window edge and comes back once the size
// has stopped changing.
void MainWindow::check_resize() {
    if (resize_param == size()) {
        checkResize->stop();
        if (isOut == 1)
            ui->grayFrm->show();
        return;
    }
    resizePlayer();
    resize_param = size();
    ui->grayFrm->hide();
}

void MainWindow::set_video_fit() {
    ui->actionFit_to_Window->setChecked(false);
    resizePlayer();
}

void MainWindow::set_video_fit2window() {
    ui->actionFit_Window->setChecked(false);
    resizePlayer();
}

void MainWindow::set_video_full() {
    showMaximized();
}

void MainWindow::on_inBtn_clicked() {
    isOut = 0;
    ui->inBtn->raise();
    resizePlayer();
}

void MainWindow::on_outBtn_clicked() {
    isOut = 1;
    resizePlayer();
}

void MainWindow::on_pinBtn_clicked() {
    setWindowFlags(windowFlags() | Qt::WindowStaysOnTopHint);
    show();
    ui->pinBtn->hide();
    ui->unpinBtn->show();
}

void MainWindow::on_unpinBtn_clicked() {
    setWindowFlags(windowFlags() & ~Qt::WindowStaysOnTopHint);
    show();
    raise();
    ui->pinBtn->show();
    ui->unpinBtn->hide();
}
