#include "dialogs/kxAbout.h"

#include <QEventLoop>

TdlgAbout::TdlgAbout(QWidget* owner) : TfrmAbst(4, owner, Qt::Dialog | Qt::FramelessWindowHint) {
    TntFormCreate();
}

void TdlgAbout::StartTimer() {}

void TdlgAbout::Execute() {
    setWindowModality(Qt::ApplicationModal);
    setAttribute(Qt::WA_DeleteOnClose, false);
    QEventLoop loop;
    connect(this, &QObject::destroyed, &loop, &QEventLoop::quit);
    show();
    while (isVisible())
        loop.processEvents(QEventLoop::WaitForMoreEvents);
}

void TdlgAbout::ApplyTexts() {}
