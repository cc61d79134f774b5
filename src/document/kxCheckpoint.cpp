#include "document/kxCheckpoint.h"

#include "engine/kxTsan.h"
#include "model/kxErrors.h"
#include "storage/kxUtils.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QIODevice>

namespace {
// A write has ended: posted by the writing thread to the writer's. An event of our own rather
// than a queued call, so the order Qt's queue makes can be shown to the thread checker.
class TDoneEvent : public QEvent {
public:
    static QEvent::Type EventType() {
        static const int type = QEvent::registerEventType();
        return QEvent::Type(type);
    }
    explicit TDoneEvent(quint64 serial) : QEvent(EventType()), Serial(serial) {}
    const quint64 Serial;
};
} // namespace

TkxCheckpointWriter::TkxCheckpointWriter(QObject* parent) : QObject(parent) {}

TkxCheckpointWriter::~TkxCheckpointWriter() {
    Cancel();
}

bool TkxCheckpointWriter::Start(const QString& fileName, TWrite write) {
    if (Job)
        return false;
    Job = std::make_unique<TJob>();
    TJob* job = Job.get();
    job->Serial = ++Serials;
    job->FileName = fileName;
    job->Write = std::move(write);
    job->Thread = std::thread([this, job] {
        QElapsedTimer clock;
        clock.start();
        try {
            WriteFileSafely(job->FileName, QStringLiteral("project file"),
                            [job](QIODevice& file) { job->Write(file, job->Cancelled); });
        } catch (const std::exception& e) {
            job->Error = ErrorMessage(e);
        } catch (...) {
            job->Error = QStringLiteral("Unknown error");
        }
        job->Milliseconds = clock.elapsed();
        // Dropped if the writer is gone by then; Wait and Cancel finish the job themselves.
        auto* done = new TDoneEvent(job->Serial);
        TsanPosted(done);
        QCoreApplication::postEvent(this, done);
    });
    return true;
}

bool TkxCheckpointWriter::event(QEvent* e) {
    // Before the type is read: the event may have been made on the writer's thread.
    TsanReceived(e);
    if (e->type() != TDoneEvent::EventType())
        return QObject::event(e);
    Finish(static_cast<TDoneEvent*>(e)->Serial, true);
    return true;
}

void TkxCheckpointWriter::Finish(quint64 serial, bool announce) {
    if (!Job || Job->Serial != serial)
        return; // finished already, by Wait or Cancel
    std::unique_ptr<TJob> done = std::move(Job);
    done->Thread.join();
    if (announce && !done->Cancelled.load())
        Q_EMIT Written(done->FileName, done->Error, done->Milliseconds);
}

void TkxCheckpointWriter::Wait() {
    if (Job)
        Finish(Job->Serial, true);
}

void TkxCheckpointWriter::Cancel() {
    if (!Job)
        return;
    Job->Cancelled.store(true);
    Finish(Job->Serial, false);
}
