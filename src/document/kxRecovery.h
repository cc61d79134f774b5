#pragma once

#include "storage/kxRecoveryFile.h"

#include <QObject>
#include <QString>

#include <memory>
#include <vector>

class QTimer;
class TkxProjectDoc;

// The window's recovery file: a checkpoint of the project in the user's state directory,
// written every interval while a search runs or the project has unsaved changes, removed when
// the project is saved or the window closes normally. Each window keeps a file of its own and
// holds a lock on it (a lock the kernel drops when the process dies, however it dies), so the
// next start can tell a file whose window ended without cleaning up from another window's.
class TkxRecovery : public QObject {
    Q_OBJECT
public:
    static constexpr int DefaultIntervalMs = 60000;

    // A file left by a window that did not end cleanly, locked while this object offers it.
    struct TLeftover {
        QString FileName;
        TkxRecoveryInfo Info;
        std::shared_ptr<int> Lock; // the lock file's descriptor
    };

    TkxRecovery(TkxProjectDoc* doc, const QString& dir, QObject* parent = nullptr);
    // Ends cleanly (the file goes) unless Keep was called.
    ~TkxRecovery() override;

    // $XDG_STATE_HOME/orvane, by default ~/.local/state/orvane.
    static QString DefaultDir();
    const QString& FileName() const { return OwnFile; }
    void SetIntervalMs(int ms);

    // Files left by windows that did not end cleanly, newest first. One that is damaged or was
    // written by another version is renamed (kept, never opened as an empty project) and
    // reported through Problem.
    std::vector<TLeftover> Leftovers();
    // Reads a leftover into the document: a modified project under its original name (or
    // untitled). The file becomes this window's own. Throws EkxError.
    void Recover(TLeftover& leftover);
    // Removes a leftover the user did not want.
    void Discard(TLeftover& leftover);

    // Writes the project now when there is anything to keep and waits for it; the file then
    // stays for the next start (the window ends by a signal). Nothing more is written.
    void WriteAndKeep();

Q_SIGNALS:
    // For the errors pane: a recovery file that could not be written (said once until one is
    // written again), or one that was set aside.
    void Problem(const QString& message);

private:
    bool Wanted() const;
    void Tick();
    void Write();
    void Written(const QString& fileName, const QString& error);
    void Remove();
    bool EnsureLock();
    void SetAside(const QString& fileName, const QString& reason);

    TkxProjectDoc* Doc;
    QString Dir;
    QString OwnFile;
    QTimer* Timer;
    int LockFd = -1;
    bool Kept = false;
    bool Writing = false; // a checkpoint of ours is on its way
    bool FailureShown = false;
    bool OnDisk = false;                   // our file exists
    quint64 WrittenRevision = ~quint64(0); // the document's revision in our file
    quint64 WritingRevision = 0;
    QString Version;
};
