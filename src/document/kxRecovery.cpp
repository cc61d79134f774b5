#include "document/kxRecovery.h"

#include "document/kxProjectDoc.h"
#include "model/kxErrors.h"
#include "storage/kxUtils.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

const QString Suffix = QStringLiteral(".orvane-recovery");
const QString LockSuffix = QStringLiteral(".lock");

// The lock of a recovery file: taken when nobody holds it, which is the case exactly when the
// window that wrote the file is gone. -1 when it is held (or can not be made).
int TryLock(const QString& fileName) {
    const int fd = ::open(QFile::encodeName(fileName).constData(),
                          O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::shared_ptr<int> HeldLock(int fd) {
    return std::shared_ptr<int>(new int(fd), [](int* p) {
        if (*p >= 0)
            ::close(*p);
        delete p;
    });
}

QString CurrentVersion() {
    try {
        return ProgramVersionText();
    } catch (...) {
        return QStringLiteral("unknown");
    }
}

} // namespace

TkxRecovery::TkxRecovery(TkxProjectDoc* doc, const QString& dir, QObject* parent)
    : QObject(parent), Doc(doc), Dir(dir), Timer(new QTimer(this)), Version(CurrentVersion()) {
    static std::atomic<int> made{0};
    OwnFile = QDir(Dir).filePath(
        QStringLiteral("%1-%2-%3")
            .arg(QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss")))
            .arg(::getpid())
            .arg(++made) +
        Suffix);
    EnsureLock();
    Timer->setInterval(DefaultIntervalMs);
    connect(Timer, &QTimer::timeout, this, [this] { Tick(); });
    Timer->start();
    connect(Doc, &TkxProjectDoc::CheckpointWritten, this,
            [this](const QString& fileName, const QString& error) { Written(fileName, error); });
    // Saved, read, new, or a search that changed nothing has ended: nothing left to lose.
    auto settled = [this] {
        if (!Kept && !Wanted())
            Remove();
    };
    connect(Doc, &TkxProjectDoc::ModifiedChanged, this, settled);
    connect(Doc, &TkxProjectDoc::SearchStateChanged, this, settled);
}

TkxRecovery::~TkxRecovery() {
    if (!Kept) {
        Remove();
        if (LockFd >= 0)
            QFile::remove(OwnFile + LockSuffix);
    }
    if (LockFd >= 0)
        ::close(LockFd);
}

QString TkxRecovery::DefaultDir() {
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || QDir::isRelativePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/orvane");
}

void TkxRecovery::SetIntervalMs(int ms) {
    Timer->setInterval(ms);
}

bool TkxRecovery::Wanted() const {
    return Doc->Modified() || Doc->IsSearching();
}

bool TkxRecovery::EnsureLock() {
    if (LockFd >= 0)
        return true;
    if (!QDir().mkpath(Dir))
        return false;
    LockFd = TryLock(OwnFile + LockSuffix);
    return LockFd >= 0;
}

void TkxRecovery::Tick() {
    if (!Kept && Wanted() && Doc->Revision() != WrittenRevision)
        Write();
}

void TkxRecovery::Write() {
    if (!EnsureLock()) {
        Written(OwnFile, QStringLiteral("Can not create %1").arg(OwnFile + LockSuffix));
        return;
    }
    TkxRecoveryInfo info;
    info.ProjectFileName = Doc->ProjectFileName();
    info.ProjectName = Doc->ProjectName();
    info.NewProjectCount = Doc->NewProjectCount();
    info.Written = QDateTime::currentDateTimeUtc();
    info.Version = Version;
    const quint64 revision = Doc->Revision();
    const bool started =
        Doc->StartCheckpoint(OwnFile, [info](QIODevice& out, int nodes,
                                             const std::function<void(QIODevice&)>& writeProject) {
            TkxRecoveryInfo withCount = info;
            withCount.Nodes = nodes;
            WriteRecoveryFile(out, withCount, writeProject);
        });
    // Busy: the next tick tries again.
    if (started) {
        Writing = true;
        WritingRevision = revision;
    }
}

void TkxRecovery::Written(const QString& fileName, const QString& error) {
    if (fileName != OwnFile)
        return;
    Writing = false;
    if (error.isEmpty()) {
        OnDisk = true;
        WrittenRevision = WritingRevision;
        FailureShown = false;
        // Saved meanwhile: the file is not wanted any more.
        if (!Kept && !Wanted())
            Remove();
        return;
    }
    if (!FailureShown) {
        FailureShown = true;
        Q_EMIT Problem(
            QStringLiteral("The recovery file was not written, the previous one is kept: %1")
                .arg(error));
    }
}

void TkxRecovery::Remove() {
    // A checkpoint still on its way would bring the file back.
    if (Writing && Doc->CheckpointBusy())
        Doc->CancelCheckpoint();
    Writing = false;
    if (OnDisk || QFileInfo::exists(OwnFile))
        QFile::remove(OwnFile);
    OnDisk = false;
    WrittenRevision = ~quint64(0);
}

void TkxRecovery::WriteAndKeep() {
    if (Kept)
        return;
    // One on its way was taken before the search stopped.
    if (Writing && Doc->CheckpointBusy())
        Doc->CancelCheckpoint();
    Writing = false;
    if (!Wanted()) {
        Remove();
        return;
    }
    if (Doc->Revision() != WrittenRevision) {
        Write();
        Doc->WaitForCheckpoint();
    }
    Kept = true;
}

std::vector<TkxRecovery::TLeftover> TkxRecovery::Leftovers() {
    std::vector<TLeftover> found;
    const QDir dir(Dir);
    if (!dir.exists())
        return found;
    for (const QFileInfo& file : dir.entryInfoList({QStringLiteral("*") + Suffix}, QDir::Files)) {
        const QString name = file.absoluteFilePath();
        if (name == QFileInfo(OwnFile).absoluteFilePath())
            continue;
        const int fd = TryLock(name + LockSuffix);
        if (fd < 0)
            continue; // its window is still running
        auto lock = HeldLock(fd);
        QFile in(name);
        try {
            if (!in.open(QIODevice::ReadOnly))
                throw EkxError(in.errorString());
            found.push_back({name, ReadRecoveryHeader(in, Version), lock});
        } catch (const std::exception& e) {
            in.close();
            SetAside(name, ErrorMessage(e));
            QFile::remove(name + LockSuffix);
        }
    }
    // Locks of windows that ended before they wrote anything.
    for (const QFileInfo& file :
         dir.entryInfoList({QStringLiteral("*") + Suffix + LockSuffix}, QDir::Files)) {
        const QString name = file.absoluteFilePath();
        const QString data = name.chopped(LockSuffix.size());
        if (QFileInfo::exists(data) || data == QFileInfo(OwnFile).absoluteFilePath())
            continue;
        if (const int fd = TryLock(name); fd >= 0) {
            QFile::remove(name);
            ::close(fd);
        }
    }
    std::sort(found.begin(), found.end(), [](const TLeftover& a, const TLeftover& b) {
        return a.Info.Written > b.Info.Written;
    });
    return found;
}

void TkxRecovery::Recover(TLeftover& leftover) {
    QFile in(leftover.FileName);
    try {
        if (!in.open(QIODevice::ReadOnly))
            throw EkxError(in.errorString());
        const TkxRecoveryInfo info = ReadRecoveryHeader(in, Version);
        Doc->RecoverProject(in, info.ProjectFileName, info.NewProjectCount);
    } catch (const std::exception& e) {
        in.close();
        SetAside(leftover.FileName, ErrorMessage(e));
        QFile::remove(leftover.FileName + LockSuffix);
        leftover.Lock.reset();
        throw;
    }
    in.close();
    // The recovered project lives on in this window's own file.
    Remove();
    if (EnsureLock() && QFile::rename(leftover.FileName, OwnFile)) {
        OnDisk = true;
        WrittenRevision = Doc->Revision();
    } else {
        QFile::remove(leftover.FileName);
    }
    QFile::remove(leftover.FileName + LockSuffix);
    leftover.Lock.reset();
}

void TkxRecovery::Discard(TLeftover& leftover) {
    QFile::remove(leftover.FileName);
    QFile::remove(leftover.FileName + LockSuffix);
    leftover.Lock.reset();
}

void TkxRecovery::SetAside(const QString& fileName, const QString& reason) {
    QString target = fileName + QStringLiteral(".unusable");
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = fileName + QStringLiteral(".unusable-%1").arg(n);
    const bool moved = QFile::rename(fileName, target);
    Q_EMIT Problem(QStringLiteral("The recovery file %1 can not be used (%2); %3")
                       .arg(fileName, reason,
                            moved ? QStringLiteral("it is kept as %1").arg(target)
                                  : QStringLiteral("it could not be renamed")));
}
