#pragma once

// The errors pane below the search parameters: hidden until the first error, then three lines
// each (date and time, message, an empty line), as plain text whatever a name from the network
// looks like. A search with thousands of denied folders reports a failed task per bridge call;
// the pane writes them in batches, so they cost no more than a few repaints.

#include <QObject>
#include <QString>

class QDateTime;
class QSplitter;
class QTextEdit;
class QTimer;
class QWidget;

class TkxErrorsPane : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxBatch = 256; // errors written at once: a few milliseconds

    // edit: the pane, the last row of params; split: the splitter whose second part is params.
    TkxErrorsPane(QTextEdit* edit, QWidget* params, QSplitter* split, QObject* parent = nullptr);

    // Written at once, behind the failed tasks still waiting: the pane keeps the order of
    // events.
    void ShowError(const QDateTime& when, const QString& message);
    // "address: state text", written with the next batch.
    void ShowTaskFailed(const QString& address, const QString& stateText);
    // Writes the failed tasks not shown yet.
    void Flush();

private:
    void Queue(const QDateTime& when, const QString& message);
    void Reveal();

    QTextEdit* Edit;
    QWidget* Params;
    QSplitter* Split;
    QTimer* Batch;
    QString Pending;
    int PendingCount = 0;
};
