#include "network_stream.h"
#include "ui_network_stream.h"

#include "jsncfg.h"
#include "quorvexapi.h"

#include <QDebug>
#include <QFileDialog>

#include <algorithm>
#include <cstring>

namespace {

// Line edit texts go to the configuration and on into stream URLs as Latin-1.
QString latin1_text(const QLineEdit *edit) {
    return QString::fromLatin1(edit->text().toLatin1());
}

// A decimal port number; text that is not one gives 0.
int port_number(const QLineEdit *edit) {
    return edit->text().toInt(nullptr, 10);
}

} // namespace

network_stream::network_stream(QWidget *parent) : QDialog(parent), ui(new Ui::network_stream) {
    ui->setupUi(this);
    Q_ASSERT(m_mpCfg);
    const networkCfg &net = *m_mpCfg->p_networkCfg;
    const recordCfg &rec = *m_mpCfg->p_recordCfg;

    ui->rtsp_grp->hide();
    ui->rtp_grp->hide();
    ui->unicasRd->setChecked(true);
    set_ip_enabled(false);

    ui->sync_delay->setValue(net.sync_delay);
    ui->rtp_reorder_le->setValue(net.reorder_frames);
    ui->handle_err_cb->setCurrentIndex(net.handle_errors);

    if (net.mode == networkCfg::MULTICAST) {
        ui->multicastRD->setChecked(true);
        set_ip_enabled(true);
    }

    // Ticking the RTP, RTSP or RTMP radio shows and fills that kind's widgets through its
    // toggled slot. Raw H.264 has no radio; it comes only from the file or the command line.
    switch (net.ts) {
    case networkCfg::TRANSPORT:
        ui->transportRD->setChecked(true);
        break;
    case networkCfg::RTP:
        ui->rtpRD->setChecked(true);
        break;
    case networkCfg::SPLIT:
        ui->splitRD->setChecked(true);
        break;
    case networkCfg::RTSP:
        ui->rtspRD->setChecked(true);
        break;
    case networkCfg::ROW_H265:
        ui->rowRD->setChecked(true);
        break;
    case networkCfg::ROW_H264:
        break;
    case networkCfg::RTMP:
        ui->rtmpRD->setChecked(true);
        break;
    default:
        ui->transportRD->setChecked(true);
        break;
    }

    ui->record_grp->setChecked(net.is_recording == 1);
    ui->portLE->setText(QString::number(net.port));
    ui->ipLE->setText(net.ip);
    ui->rtspUserName_le->setText(net.rtsp_userName);
    ui->rtspPassword_le->setText(net.rtsp_password);
    ui->rec_path->setText(rec.directory_path);
    ui->record_index_mode->setChecked(rec.trick_mode == 1);
    ui->is_encryption->setChecked(net.is_encryp != 0);
    // A key of the full 255 bytes has no terminating zero.
    const char *key = reinterpret_cast<const char *>(net.enc_key);
    ui->key_encryptionn->setText(QString::fromLatin1(key, qstrnlen(key, sizeof net.enc_key)));
    ui->deinterlace_cb->setChecked(net.is_deinterlace != 0);
}

network_stream::~network_stream() {
    delete ui;
}

int network_stream::rtspUserPassword_validity_check(const char *user, const char *password) {
    static const char forbidden[] = " +&#";
    for (const char *text : {user, password})
        if (text && std::strpbrk(text, forbidden))
            return -1;
    return 0;
}

// Copies the form into the "network" and "record" sections, saves both and closes with
// Accepted. Fields of the other input kinds keep their values.
void network_stream::on_playNetwork_clicked() {
    networkCfg &net = *m_mpCfg->p_networkCfg;
    recordCfg &rec = *m_mpCfg->p_recordCfg;

    if (ui->transportRD->isChecked()) {
        net.ts = networkCfg::TRANSPORT;
    } else if (ui->rtpRD->isChecked()) {
        net.ts = networkCfg::RTP;
        net.reorder_frames = ui->rtp_reorder_le->value();
    } else if (ui->rowRD->isChecked()) {
        net.ts = networkCfg::ROW_H265;
    } else if (ui->splitRD->isChecked()) {
        net.ts = networkCfg::SPLIT;
    } else if (ui->rtspRD->isChecked()) {
        net.ts = networkCfg::RTSP;
    } else if (ui->rtmpRD->isChecked()) {
        net.ts = networkCfg::RTMP;
    }

    net.sync_delay = ui->sync_delay->value();

    if (net.ts == networkCfg::RTSP) {
        net.rtsp_mode = ui->rtsp_udpRD->isChecked() ? networkCfg::RTSP_UDP : networkCfg::RTSP_TCP;
        net.rtsp_serial_port = port_number(ui->rtsp_serial_portLE);
        net.rtsp_url = latin1_text(ui->rtsp_urlLE);
        net.rtsp_sdp = latin1_text(ui->rtsp_sdpLE);
        store_credentials();
    }

    if (net.ts == networkCfg::RTMP) {
        net.rtmp_port = port_number(ui->rtsp_serial_portLE);
        net.rtmp_url = latin1_text(ui->rtsp_urlLE);
        net.rtmp_sdp = latin1_text(ui->rtsp_sdpLE);
        store_credentials();
    } else {
        if (ui->unicasRd->isChecked())
            net.mode = networkCfg::UNICAST;
        else if (ui->multicastRD->isChecked())
            net.mode = networkCfg::MULTICAST;
        net.port = port_number(ui->portLE);
        net.ip = latin1_text(ui->ipLE);
    }

    net.is_recording = ui->record_grp->isChecked() ? 1 : 0;
    rec.trick_mode = ui->record_index_mode->isChecked() ? 1 : 0;

    // An empty key field leaves the decryption settings as they were.
    const QByteArray key = ui->key_encryptionn->text().toLatin1();
    if (!key.isEmpty()) {
        // enc_key holds 255 bytes: a longer key is cut to its first 255 (the field itself takes
        // no more). The rest of the array is cleared so that the key reads back as it was given.
        const int len = std::min(key.size(), int(sizeof net.enc_key));
        net.is_encryp = ui->is_encryption->isChecked() ? 1 : 0;
        net.key_len = len;
        std::memcpy(net.enc_key, key.constData(), len);
        std::memset(net.enc_key + len, 0, sizeof net.enc_key - len);
    }

    net.handle_errors = ui->handle_err_cb->currentIndex();

    if (ui->h265_rd->isChecked())
        net.rtp_payload_type = RTP_P_TYPE_H265;
    else if (ui->h264_rd->isChecked())
        net.rtp_payload_type = RTP_P_TYPE_H264;
    else if (ui->stan82_rd->isChecked())
        net.rtp_payload_type = RTP_P_TYPE_STAN82;
    qDebug("%s.%d rtp_payload_type = %d", __func__, __LINE__, net.rtp_payload_type);

    net.is_deinterlace = ui->deinterlace_cb->isChecked() ? 1 : 0;

    net.write();
    rec.write();
    accept();
}

void network_stream::on_cancelNetwork_clicked() {
    reject();
}

void network_stream::on_multicastRD_clicked(bool) {
    set_ip_enabled(true);
}

void network_stream::on_unicasRd_clicked() {
    set_ip_enabled(false);
}

// RTSP replaces the UDP reception widgets with the server group, transport radios included,
// filled from the RTSP fields.
void network_stream::on_rtspRD_toggled(bool checked) {
    if (!checked) {
        show_udp_reception();
        return;
    }
    const networkCfg &net = *m_mpCfg->p_networkCfg;
    show_server_group(net.rtsp_url, net.rtsp_sdp, net.rtsp_serial_port, true);
    if (net.rtsp_mode != networkCfg::RTSP_UDP)
        ui->rtsp_tcpRD->setChecked(true);
    else
        ui->rtsp_udpRD->setChecked(true);
}

// RTMP shows the server group without the transport radios, filled from the RTMP fields, and
// has no display delay.
void network_stream::on_rtmpRD_toggled(bool checked) {
    ui->label->setVisible(!checked);
    ui->sync_delay->setVisible(!checked);
    if (!checked) {
        show_udp_reception();
        return;
    }
    const networkCfg &net = *m_mpCfg->p_networkCfg;
    show_server_group(net.rtmp_url, net.rtmp_sdp, net.rtmp_port, false);
}

// Puts the server group in place of the UDP reception widgets, filled with one server's
// address, description and port; the transport radios only for RTSP.
void network_stream::show_server_group(const QString &url, const QString &sdp, int port,
                                       bool with_transport) {
    set_reception_visible(false);
    ui->rtsp_grp->show();
    ui->rtsp_mode_box->setVisible(with_transport);
    ui->rtsp_urlLE->setText(url);
    ui->rtsp_sdpLE->setText(sdp);
    ui->rtsp_serial_portLE->setText(QString::number(port));
}

void network_stream::on_rtpRD_toggled(bool checked) {
    ui->rtp_grp->setVisible(checked);
    if (!checked)
        return;
    switch (m_mpCfg->p_networkCfg->rtp_payload_type) {
    case RTP_P_TYPE_H265:
        ui->h265_rd->setChecked(true);
        break;
    case RTP_P_TYPE_H264:
        ui->h264_rd->setChecked(true);
        break;
    case RTP_P_TYPE_STAN82:
        ui->stan82_rd->setChecked(true);
        break;
    default:
        break;
    }
}

// The chosen directory (empty when the operator cancels) takes effect in memory at once; only
// Play saves it.
void network_stream::on_record_browes_clicked() {
    recordCfg &rec = *m_mpCfg->p_recordCfg;
    rec.directory_path = QFileDialog::getExistingDirectory(this, "Open_file", rec.directory_path,
                                                           QFileDialog::ShowDirsOnly);
    ui->rec_path->setText(rec.directory_path);
}

void network_stream::on_showPassword_cb_stateChanged() {
    ui->rtspPassword_le->setEchoMode(ui->showPassword_cb->isChecked() ? QLineEdit::Normal
                                                                      : QLineEdit::Password);
}

// The group address is used only for multicast reception.
void network_stream::set_ip_enabled(bool enabled) {
    ui->ipLbl->setEnabled(enabled);
    ui->ipLE->setEnabled(enabled);
}

// Shows or hides the unicast/multicast choice with its port and address.
void network_stream::set_reception_visible(bool visible) {
    ui->label_6->setVisible(visible);
    ui->cast_box->setVisible(visible);
    ui->portLbl->setVisible(visible);
    ui->portLE->setVisible(visible);
    ui->ipLbl->setVisible(visible);
    ui->ipLE->setVisible(visible);
}

// Back from RTSP or RTMP to UDP reception, with the stored unicast/multicast choice.
void network_stream::show_udp_reception() {
    set_reception_visible(true);
    ui->rtsp_grp->hide();
    const bool unicast = m_mpCfg->p_networkCfg->mode != networkCfg::MULTICAST;
    (unicast ? ui->unicasRd : ui->multicastRD)->setChecked(true);
    set_ip_enabled(!unicast);
}

// Takes the user name and password only when both may go into a stream URL; otherwise the
// earlier credentials stay, without a message.
void network_stream::store_credentials() {
    networkCfg &net = *m_mpCfg->p_networkCfg;
    const QByteArray user = ui->rtspUserName_le->text().toLatin1();
    const QByteArray password = ui->rtspPassword_le->text().toLatin1();
    if (rtspUserPassword_validity_check(user.constData(), password.constData()) != 0)
        return;
    net.rtsp_userName = QString::fromLatin1(user);
    net.rtsp_password = QString::fromLatin1(password);
}
