// The player's main window: the one engine instance (opened lazily on the video frame's native
// window), live streaming and recording, the once-a-second status poll that drives every
// indicator, the board's streaming on/off command, and the sizing of the video area.
//
// The engine is reached only through the function table m_quorvex; every call tests the table
// and, where one is needed, the play handle first. The window keeps no state of its own about
// what the engine does: after any command it waits for the next poll to show the result.
#pragma once

#include <QLabel>
#include <QMainWindow>
#include <QPoint>
#include <QSize>
#include <QString>
#include <string>

#include "quorvexapi.h"

class networkCfg;
class recordCfg;
class QAction;
class QTimer;

namespace Ui {
class MainWindow;
}

// The argument after the first one equal to `option` in [begin, end); null when the option is
// absent or is the last argument.
char *getCmdOption(char **begin, char **end, const std::string &option);

// Applies a "-url" value to the network section (memory only). True when the value selects a
// stream to start.
bool apply_url_option(const QString &value, networkCfg *net);

// What the command line asks of the window once the configuration has been changed.
struct CommandLine {
    bool start = false; // start the network stream (recording too when "-rec" worked)
    bool resize = false;
    QSize size;
    bool move = false;
    QPoint pos;
};

// Reads "-url", "-size", "-pos" and "-rec" (the last only when a stream starts) and applies
// them to the configuration sections in memory; a "-rec" directory is created when missing.
CommandLine parse_command_line(int argc, char **argv, networkCfg *net, recordCfg *rec);

// The engine's function table; null when the library or its entry point is missing.
extern quorvex_t *m_quorvex;

// Process-wide state of the main window (one per program), written by the GUI thread only.
extern quorvex_handle_t m_VidDisp; // the play handle; 0 until the engine instance is opened
extern quorvex_info_t m_info;      // last information record read by the poll
extern int isStream, isRecord, isPlayback, isStreamPlayback;
extern int active_app;                  // 0 live display, 1 playback display, 2 other
extern unsigned int board_addr;         // the video board's IPv4 address, host order; 0 for none
extern int tx_soxket;                   // UDP socket for board commands; 0 when none was opened
extern unsigned int g_log_state;        // engine log channel bits
extern int width_screen, height_screen; // last known input video size
extern int isOut;                       // 1 while the control bar is shown below the video

// Board commands go to this UDP port.
constexpr unsigned short BOARD_CMD_PORT = 3100;
// Size of the buffer that RTSP and RTMP addresses with credentials are formatted into.
constexpr int STREAM_URL_BUF = 224;

// "user:password@address" for a stream URL, with user name and password percent-encoded so
// that characters with a meaning in URLs reach the server as typed. Empty when either is empty
// (the address is then used bare); null text when the result would not fit in STREAM_URL_BUF
// bytes with its terminating zero.
QByteArray format_stream_credentials(const QString &user, const QString &password,
                                     const QString &address, bool *fits);

class MainWindow : public QMainWindow {
    Q_OBJECT

  public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Applies the command-line options; starts the network stream when a "-url" value selects
    // one. Returns 0.
    int start_command_line(int argc, char **argv);

    // Opens the engine instance when there is none. 0 when a play handle exists, the engine's
    // error code when opening fails, -1 without the engine (the notice is shown).
    int init_vid_app();
    // Starts live streaming (and recording when configured) from the configuration.
    int init_video();
    void term_video_stream();
    // The board command: 6 when the datagram went out whole, 0 without a board, else -1.
    int set_streaming_opertion(int on);
    // The engine's video event callback; it runs on an engine thread and only emits
    // Event_videoSizeChange, which reaches the GUI thread queued.
    static void video_change_callback(void *user, int w, int h);

    void resizePlayer();
    void resize_display_menu();

  signals:
    void Event_videoSizeChange(int w, int h);

  public slots:
    void stop_all();
    void start_record();
    void stop_record();
    void setNetworkStream();
    void get_action_info();
    void imp_video_frame_size(int video_w, int video_h);
    void set_video_fit();
    void set_video_fit2window();
    void set_video_full();

    void on_playButton_clicked();
    void on_pause_clicked();
    void on_stop_clicked();
    void on_Record_clicked();
    void on_stream_clicked();
    void on_switch_dispatch_clicked();
    void on_actionSwitch_Dispuch_triggered();
    void on_inBtn_clicked();
    void on_outBtn_clicked();
    void on_pinBtn_clicked();
    void on_unpinBtn_clicked();
    void on_volume_slider_valueChanged(int value);
    void on_volume_btn_clicked();
    void on_volume_off_btn_clicked();
    void on_actionHW_Acceleration_toggled(bool on);
    void get_ch_info();
    void set_audio_ch1();
    void set_audio_ch2();

  private slots:
    void playAnimate();
    void streamAnimate();
    void check_resize();

  protected:
    void resizeEvent(QResizeEvent *event) override;

  private:
    void connect_menus();
    void init_widget_states();
    void load_branding();
    void center_logo();
    void open_board_socket();
    void apply_volume(int percent);
    void select_audio_channel(QAction *other, int ch);
    void show_live_controls();
    void show_playback_controls();
    void stop_playback();
    bool record_directory_exists() const;
    void log_status() const;

    Ui::MainWindow *ui;
    QSize resize_param;
    QLabel *dll_msg = nullptr;
    QTimer *get_action_info_timer;
    QTimer *playAnimateQtimer;
    QTimer *StreamAnimateQtimer;
    QTimer *checkResize;
};
