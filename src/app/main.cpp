// Orvane: starts the application object and the main window; the only argument is an optional
// project file to open.

#include "app/kxApplication.h"
#include "app/kxMain.h"
#include "app/kxTreeDisplay.h"
#include "document/kxRecovery.h"
#include "platform/kxTermSignals.h"

#include <csignal>

int main(int argc, char** argv) {
    TkxApplication app(argc, argv);
    SetupIconTheme();
    QApplication::setWindowIcon(ThemeIcon(QStringLiteral("network-workgroup")));
    TfrmMain::TOptions options;
    options.RecoveryDir = TkxRecovery::DefaultDir();
    // The window's project document owns the search threads: they have ended when it goes.
    TfrmMain window(QCoreApplication::arguments().mid(1), options);
    // A logout, a shutdown or Ctrl-C in the terminal that started it ends the window as a close
    // would, keeping what was found.
    TkxTermSignals ending({SIGTERM, SIGHUP, SIGINT});
    QObject::connect(&ending, &TkxTermSignals::Received, &window, &TfrmMain::EndBySignal);
    window.show();
    return app.exec();
}
