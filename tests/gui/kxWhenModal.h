#pragma once

#include "app/kxAbst.h"

#include <QApplication>
#include <QCoreApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>

// Runs `step` on the modal window of type T as soon as it is up, its texts applied, while the
// code under test waits in its modal loop. The window is closed afterwards whatever the step
// did, so a failed check never leaves the test waiting.
template <class T, class F> QPointer<QTimer> WhenModal(F step) {
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, step] {
        auto* w = qobject_cast<T*>(QApplication::activeModalWidget());
        if (!w || !w->isVisible())
            return;
        timer->stop();
        timer->deleteLater();
        QCoreApplication::sendPostedEvents(w, TfrmAbst::ApplyTextsEvent());
        const QPointer<QWidget> guard(w);
        step(w);
        if (guard && guard->isVisible())
            guard->close();
    });
    timer->start();
    return timer;
}
