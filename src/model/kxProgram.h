#pragma once

// Other programs this process runs: klist, setxkbmap, the desktop's cache tools. Each is
// started by posix_spawn, so the child runs nothing of ours between its fork and its exec,
// which is all a child of a threaded process may safely do. (QProcess runs Qt code there, in
// a child that shares the parent's memory; a thread checker takes that start for a fork of
// the whole process and stops checking it.)

#include <QByteArray>
#include <QString>
#include <QStringList>

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
