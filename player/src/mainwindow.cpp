#include "mainwindow.h"

#include <QDebug>
#include <QDir>
#include <QRegularExpression>
#include <algorithm>
#include <string.h>

#include "jsncfg.h"

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
