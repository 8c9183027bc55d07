// Collects the Qt debug output of a test while it lives.
#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

class DebugCapture {
  public:
    DebugCapture() {
        lines().clear();
        previous = qInstallMessageHandler(&DebugCapture::handler);
    }
    ~DebugCapture() { qInstallMessageHandler(previous); }
    static QStringList &lines() {
        static QStringList captured;
        return captured;
    }

  private:
    static void handler(QtMsgType, const QMessageLogContext &, const QString &msg) {
        lines().append(msg);
    }
    QtMessageHandler previous;
};
