// Orvane: starts the application object and the main window; the only argument is an optional
// project file to open.

#include "app/kxApplication.h"
#include "app/kxMain.h"
#include "app/kxTreeDisplay.h"
#include "engine/kxThreadForInfo.h"

int main(int argc, char** argv) {
    TkxApplication app(argc, argv);
    SetupIconTheme();
    QApplication::setWindowIcon(ThemeIcon(QStringLiteral("network-workgroup")));
    int status = 0;
    {
        TfrmMain window(QCoreApplication::arguments().mid(1));
        window.show();
        status = app.exec();
    }
    // Workers that were let go may still be leaving their last call.
    TkxInfoThread::WaitForAll();
    return status;
}
