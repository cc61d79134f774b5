#include "app/kxAbst.h"

#include "app/kxSaverWindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QHideEvent>
#include <QShowEvent>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>

namespace {
// "&Open" is shown as "Open"; "&&" stands for a plain ampersand.
QString WithoutMnemonic(const QString& caption) {
    QString plain;
    plain.reserve(caption.size());
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption[i] == u'&' && ++i >= caption.size())
            break;
        plain += caption[i];
    }
    return plain;
}
} // namespace

QEvent::Type TfrmAbst::ApplyTextsEvent() {
    static const auto type = QEvent::Type(QEvent::registerEventType());
    return type;
}

TfrmAbst::TfrmAbst(int tag, QWidget* parent, Qt::WindowFlags flags)
    : QMainWindow(parent, flags), WindowTag(tag), InfoBar(new QStatusBar(this)) {
    InfoBar->setObjectName(QStringLiteral("sbInfo"));
    setStatusBar(InfoBar);
    setProperty("tag", tag);
}

TfrmAbst::~TfrmAbst() {
    if (Store)
        TfrmAbst::TntFormDestroy();
}

void TfrmAbst::TntFormCreate() {
    Store = std::make_unique<TkxSaver>(this, WindowTag);
    UpdateToolbarHints(this);
}

void TfrmAbst::TntFormShow() {
    if (Store)
        Store->Restore();
    QCoreApplication::postEvent(this, new QEvent(ApplyTextsEvent()));
}

void TfrmAbst::TntFormCloseQuery(bool& canClose) {
    if (canClose && Store)
        Store->Save();
}

void TfrmAbst::TntFormDestroy() {
    Store.reset();
}

void TfrmAbst::SendApplyTexts() {
    QEvent e(ApplyTextsEvent());
    QCoreApplication::sendEvent(this, &e);
}

int TfrmAbst::ShowModal() {
    ModalResultValue = mrNone;
    const QPointer<TfrmAbst> self(this);
    QEventLoop loop;
    ModalLoop = &loop;
    setWindowModality(Qt::ApplicationModal);
    show();
    // A window the owner destroys while it runs ends the loop with no result.
    connect(this, &QObject::destroyed, &loop, &QEventLoop::quit);
    if (isVisible())
        loop.exec(QEventLoop::DialogExec);
    if (!self)
        return mrCancel;
    ModalLoop = nullptr;
    hide();
    setWindowModality(Qt::NonModal);
    return ModalResultValue;
}

void TfrmAbst::SetModalResult(int result) {
    ModalResultValue = result;
    if (result != mrNone && ModalLoop)
        close();
}

void TfrmAbst::ApplyTextsMessage() {
    ApplyTexts();
    UpdateToolbarHints(this);
}

bool TfrmAbst::event(QEvent* e) {
    if (e->type() == ApplyTextsEvent()) {
        try {
            ApplyTextsMessage();
        } catch (...) {
            ReportApplicationError(std::current_exception());
        }
        return true;
    }
    return QMainWindow::event(e);
}

void TfrmAbst::showEvent(QShowEvent* e) {
    QMainWindow::showEvent(e);
    // A window shown again after being minimised is no new show.
    if (e->spontaneous())
        return;
    try {
        TntFormShow();
    } catch (...) {
        ReportApplicationError(std::current_exception());
    }
}

void TfrmAbst::hideEvent(QHideEvent* e) {
    QMainWindow::hideEvent(e);
    // Minimising (a spontaneous hide) is no end of a modal run.
    if (ModalLoop && !e->spontaneous()) {
        if (ModalResultValue == mrNone)
            ModalResultValue = mrCancel;
        ModalLoop->quit();
    }
}

void TfrmAbst::closeEvent(QCloseEvent* e) {
    bool canClose = true;
    try {
        TntFormCloseQuery(canClose);
    } catch (...) {
        // A question that failed (a project that could not be saved) keeps the window open.
        canClose = false;
        ReportApplicationError(std::current_exception());
    }
    if (canClose) {
        if (ModalLoop && ModalResultValue == mrNone)
            ModalResultValue = mrCancel;
        e->accept();
    } else {
        ModalResultValue = mrNone;
        e->ignore();
    }
}

void TfrmAbst::UpdateToolbarHints(QObject* root) {
    for (QObject* child : root->children()) {
        UpdateToolbarHints(child);
        auto* button = qobject_cast<QToolButton*>(child);
        if (!button || !button->defaultAction() || !qobject_cast<QToolBar*>(button->parent()))
            continue;
        const QString caption = WithoutMnemonic(button->defaultAction()->text());
        button->setToolButtonStyle(Qt::ToolButtonIconOnly);
        button->setToolTip(caption);
        button->setAccessibleName(caption);
        button->setAccessibleDescription(caption);
    }
}
