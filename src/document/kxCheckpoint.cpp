#include "document/kxCheckpoint.h"

#include "model/kxErrors.h"
#include "storage/kxUtils.h"

#include <QElapsedTimer>
#include <QIODevice>

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
        QMetaObject::invokeMethod(
            this, [this, serial = job->Serial] { Finish(serial, true); }, Qt::QueuedConnection);
    });
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
