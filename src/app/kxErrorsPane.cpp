#include "app/kxErrorsPane.h"

#include "app/kxTreeDisplay.h"
#include "model/kxDates.h"

#include <QDateTime>
#include <QLayout>
#include <QScrollBar>
#include <QSplitter>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>

TkxErrorsPane::TkxErrorsPane(QTextEdit* edit, QWidget* params, QSplitter* split, QObject* parent)
    : QObject(parent), Edit(edit), Params(params), Split(split), Batch(new QTimer(this)) {
    Batch->setSingleShot(true);
    Batch->setInterval(TkxThreadListModel::RepaintMs);
    connect(Batch, &QTimer::timeout, this, [this] { Flush(); });
}

void TkxErrorsPane::Reveal() {
    // The parameter rows at their wrapped height, measured before the pane takes its share.
    QLayout* layout = Params->layout();
    layout->activate();
    const int rows = layout->hasHeightForWidth() ? layout->totalHeightForWidth(Params->width())
                                                 : layout->totalSizeHint().height();
    Edit->show();
    // Room for a few entries rather than a sliver, taken from the tree, which keeps half.
    const int need = rows + 8 * Edit->fontMetrics().lineSpacing();
    const QList<int> sizes = Split->sizes();
    const int total = sizes.value(0) + sizes.value(1);
    const int params = std::min(need, total / 2);
    if (sizes.value(1) < params)
        Split->setSizes({total - params, params});
}

void TkxErrorsPane::Queue(const QDateTime& when, const QString& message) {
    if (Edit->isHidden())
        Reveal();
    // Three lines each; the first error of the pane takes its empty paragraph.
    if (!Pending.isEmpty() || !Edit->document()->isEmpty())
        Pending += u'\n';
    Pending += DateTimeText(DateTimeToDays(when));
    Pending += u'\n';
    Pending += message;
    Pending += u'\n';
    ++PendingCount;
}

void TkxErrorsPane::ShowError(const QDateTime& when, const QString& message) {
    Queue(when, message);
    Flush();
}

void TkxErrorsPane::ShowTaskFailed(const QString& address, const QString& stateText) {
    Queue(QDateTime::currentDateTime(), QStringLiteral("%1: %2").arg(address, stateText));
    // A batch is bounded too: one huge insertion would be a stall of its own.
    if (PendingCount >= MaxBatch)
        Flush();
    else if (!Batch->isActive())
        Batch->start();
}

void TkxErrorsPane::Flush() {
    Batch->stop();
    if (Pending.isEmpty())
        return;
    // The view follows the end only when it was there, so a user reading older lines keeps
    // their place.
    QScrollBar* bar = Edit->verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum();
    QTextCursor end(Edit->document());
    end.movePosition(QTextCursor::End);
    end.insertText(Pending);
    Pending.clear();
    PendingCount = 0;
    if (atEnd)
        bar->setValue(bar->maximum());
}
