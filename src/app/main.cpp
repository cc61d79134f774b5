// Orvane: starts the application object and the main window; the only argument is an optional
// project file to open.

#include "app/kxApplication.h"
#include "app/kxMain.h"
#include "app/kxTreeDisplay.h"

int main(int argc, char** argv) {
    TkxApplication app(argc, argv);
    SetupIconTheme();
    QApplication::setWindowIcon(ThemeIcon(QStringLiteral("network-workgroup")));
    TfrmMain window(QCoreApplication::arguments().mid(1));
    window.show();
    return app.exec();
}
