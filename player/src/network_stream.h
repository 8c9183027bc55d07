// The network stream dialog: the operator chooses the live input (kind, reception, server and
// credentials), the display delay, the RTP options, recording, decryption and deinterlacing.
//
// The dialog keeps no state besides its form. It fills the form from the "network" and
// "record" sections of m_mpCfg when it opens; Play copies the form back into both sections,
// saves them and closes with Accepted; Cancel closes with Rejected and changes nothing (except
// a directory chosen with "Directory", which is set in memory at once).
#pragma once

#include <QDialog>

namespace Ui {
class network_stream;
}

class network_stream : public QDialog {
    Q_OBJECT

  public:
    // Builds the form and fills it from the configuration, which must be set (m_mpCfg).
    explicit network_stream(QWidget *parent = nullptr);
    ~network_stream() override;

    // 0 when user name and password may go into a stream URL; -1 when either contains a space,
    // "+", "&" or "#". A null pointer counts as empty text.
    static int rtspUserPassword_validity_check(const char *user, const char *password);

  private slots:
    void on_playNetwork_clicked();
    void on_cancelNetwork_clicked();
    void on_multicastRD_clicked(bool checked);
    void on_unicasRd_clicked();
    void on_rtspRD_toggled(bool checked);
    void on_rtmpRD_toggled(bool checked);
    void on_rtpRD_toggled(bool checked);
    void on_record_browes_clicked();
    void on_showPassword_cb_stateChanged();

  private:
    void set_ip_enabled(bool enabled);
    void set_reception_visible(bool visible);
    void show_udp_reception();
    void show_server_group(const QString &url, const QString &sdp, int port, bool with_transport);
    void store_credentials();

    Ui::network_stream *ui;
};
