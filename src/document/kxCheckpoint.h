#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

class QIODevice;

// Writes one checkpoint at a time on a thread of its own, through the safe writer: the file is
// replaced only by a complete one, so a full disk or a cancel leaves the previous one whole.
// The outcome is announced on the writer object's thread.
class TkxCheckpointWriter : public QObject {
    Q_OBJECT
public:
    // Fills the new file; it stops early (throwing) once `cancel` is set.
    using TWrite = std::function<void(QIODevice&, const std::atomic<bool>& cancel)>;

    explicit TkxCheckpointWriter(QObject* parent = nullptr);
    ~TkxCheckpointWriter() override; // cancels and waits

    bool Busy() const { return Job != nullptr; }
    // False, and nothing started, while the previous checkpoint is still being written.
    bool Start(const QString& fileName, TWrite write);
    // Until the checkpoint being written is done; its outcome is announced before this returns.
    void Wait();
    // Ends the checkpoint being written early and waits for it; no outcome is announced.
    void Cancel();

Q_SIGNALS:
    // A checkpoint is done: error is empty when it was written.
    void Written(const QString& fileName, const QString& error, qint64 milliseconds);

protected:
    bool event(QEvent* e) override;

private:
    struct TJob {
        quint64 Serial = 0;
        QString FileName;
        TWrite Write;
        std::atomic<bool> Cancelled{false};
        QString Error;
        qint64 Milliseconds = 0;
        std::thread Thread;
    };
    void Finish(quint64 serial, bool announce);

    std::unique_ptr<TJob> Job;
    quint64 Serials = 0;
};
