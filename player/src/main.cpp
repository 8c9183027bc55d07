// Program entry of the player: prepares Qt, binds the engine library at run time, shows the
// main window and applies the command line.
#include <QApplication>

#include "loadlib.h"
#include "mainwindow.h"

// The engine's loader; never destroyed, so the library stays loaded until the process ends.
static LoadLib *quorvex = nullptr;

int main(int argc, char *argv[]) {
    // Before the application object exists, so that Qt scales for high-density screens.
    qputenv("QT_AUTO_SCREEN_SCALE_FACTOR", "1");
    QApplication app(argc, argv);

    quorvex = new LoadLib("libquorvex64.so");
    if (quorvex->IsLoaded()) {
        auto get_handle = (quorvex_get_handle_t)quorvex->GetApiPtr("quorvex_get_handle");
        if (get_handle)
            m_quorvex = get_handle();
    }
    if (m_quorvex) {
        int version = 0;
        m_quorvex->Quorvex_get_dll_ver(&version);
    }

    MainWindow w;
    w.show();
    w.start_command_line(argc, argv);
    return app.exec();
}
