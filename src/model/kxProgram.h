#pragma once

// Other programs this process runs: klist, setxkbmap, the desktop's cache tools. Each is
// started by posix_spawn, so the child runs nothing of ours between its fork and its exec,
// which is all a child of a threaded process may safely do. (QProcess runs Qt code there, in
// a child that shares the parent's memory; a thread checker takes that start for a fork of
// the whole process and stops checking it.)

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <initializer_list>
#include <spawn.h>

struct TkxProgramRun {
    bool Started = false;
    bool Finished = false;   // ended within the limit (a program still running is killed)
    bool NormalExit = false; // exited, rather than being ended by a signal
    int ExitCode = -1;
    QByteArray Output; // what it wrote to its standard output, at most 1 MiB
};

// Runs `program` (looked for on PATH unless it holds a slash) with standard input and error
// on /dev/null, and waits for it at most `limitMs`.
TkxProgramRun RunProgram(const QString& program, const QStringList& args, int limitMs);

// Starts `program` with every standard stream on /dev/null and returns at once; the event
// loop collects its exit, so it never lingers as a zombie. Without an event loop, or on a
// kernel without pidfd, this waits for it instead. False when it could not be started.
bool StartProgram(const QString& program, const QStringList& args);

// What posix_spawn sets up in a child before its exec: descriptors opened, moved and closed in
// the order they are added, no signal blocked, and the given signals back at their defaults
// (an ignored signal would otherwise stay ignored across exec). Freed with the object.
class TkxSpawnSetup {
public:
    explicit TkxSpawnSetup(std::initializer_list<int> defaultSignals);
    ~TkxSpawnSetup();
    TkxSpawnSetup(const TkxSpawnSetup&) = delete;
    TkxSpawnSetup& operator=(const TkxSpawnSetup&) = delete;

    void Open(int fd, const char* path, int flags);
    void Dup(int from, int to);
    // Every descriptor from `lowest` up is closed, also those another part of the process
    // forgot to mark close-on-exec (where the C library can).
    void CloseFrom(int lowest);

    const posix_spawn_file_actions_t* Actions() const { return &FileActions; }
    const posix_spawnattr_t* Attributes() const { return &Attr; }

private:
    posix_spawn_file_actions_t FileActions;
    posix_spawnattr_t Attr;
};
