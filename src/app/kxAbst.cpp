#include "app/kxAbst.h"

#include "app/kxSaverWindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
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

void TfrmAbst::closeEvent(QCloseEvent* e) {
    bool canClose = true;
    try {
        TntFormCloseQuery(canClose);
    } catch (...) {
        // A question that failed (a project that could not be saved) keeps the window open.
        canClose = false;
        ReportApplicationError(std::current_exception());
    }
    if (canClose)
        e->accept();
    else
        e->ignore();
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
