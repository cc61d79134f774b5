#pragma once

// A program a test runs and reads, started by posix_spawn rather than QProcess: QProcess starts
// its child in a clone that shares the test's memory, which ThreadSanitizer takes for a fork
// of the whole threaded test, and the test dies at its next thread.

#include "model/kxProgram.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

class TkxChild {
public:
    TkxChild() = default;
    TkxChild(const TkxChild&) = delete;
    TkxChild& operator=(const TkxChild&) = delete;
    ~TkxChild() {
        if (Pid > 0) {
            ::kill(Pid, SIGKILL);
            Reap();
        }
        CloseAll();
    }

    // `extraEnv` entries ("NAME=value") go before the test's own environment, so they win.
    // With `capture` false the child writes to the test's own standard output and error.
    bool Start(const QString& program, const QStringList& args, const QStringList& extraEnv = {},
               bool capture = true) {
        std::vector<QByteArray> argBytes{QFile::encodeName(program)};
        for (const QString& a : args)
            argBytes.push_back(a.toLocal8Bit());
        std::vector<QByteArray> envBytes;
        for (const QString& e : extraEnv)
            envBytes.push_back(e.toLocal8Bit());
        std::vector<char*> argv, envp;
        for (QByteArray& b : argBytes)
            argv.push_back(b.data());
        argv.push_back(nullptr);
        for (QByteArray& b : envBytes)
            envp.push_back(b.data());
        for (char** e = environ; *e; ++e)
            envp.push_back(*e);
        envp.push_back(nullptr);

        TkxSpawnSetup setup({SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD});
        setup.Open(STDIN_FILENO, "/dev/null", O_RDONLY);
        int out[2] = {-1, -1}, err[2] = {-1, -1};
        if (capture) {
            if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
                return false;
            setup.Dup(out[1], STDOUT_FILENO);
            setup.Dup(err[1], STDERR_FILENO);
        }
        setup.CloseFrom(STDERR_FILENO + 1);
        const int rc = posix_spawn(&Pid, argv[0], setup.Actions(), setup.Attributes(), argv.data(),
                                   envp.data());
        if (capture) {
            ::close(out[1]);
            ::close(err[1]);
            Fds[0] = out[0];
            Fds[1] = err[0];
        }
        if (rc != 0) {
            Pid = -1;
            CloseAll();
        }
        return rc == 0;
    }

    // Reads what the child has written, waiting at most `ms` for something to come.
    void Pump(int ms) {
        pollfd p[2];
        nfds_t n = 0;
        QByteArray* into[2];
        for (int i = 0; i < 2; ++i) {
            if (Fds[i] >= 0) {
                p[n] = {Fds[i], POLLIN, 0};
                into[n++] = i == 0 ? &Out : &Err;
            }
        }
        if (n == 0 || poll(p, n, ms) <= 0)
            return;
        for (nfds_t i = 0; i < n; ++i) {
            if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[65536];
            const ssize_t got = ::read(p[i].fd, buf, sizeof buf);
            if (got > 0) {
                into[i]->append(buf, got);
            } else if (got == 0 || errno != EINTR) {
                for (int& fd : Fds) {
                    if (fd == p[i].fd) {
                        ::close(fd);
                        fd = -1;
                    }
                }
            }
        }
    }

    // Waits until `done` holds, reading meanwhile; false after `ms`.
    template <class Pred> bool PumpUntil(Pred&& done, int ms) {
        const QDeadlineTimer deadline(ms);
        while (!done()) {
            if (deadline.hasExpired())
                return false;
            Pump(int(std::min<qint64>(deadline.remainingTime(), 100)));
        }
        return true;
    }

    // Reads to the end and reaps the child; its exit code, -1 when a signal ended it or it
    // did not end within `ms` (then it is killed).
    int Finish(int ms = 180000) {
        if (Pid <= 0)
            return -1;
        if (!PumpUntil([this] { return Fds[0] < 0 && Fds[1] < 0 && Exited(); }, ms))
            ::kill(Pid, SIGKILL);
        const int status = Reap();
        CloseAll();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    void Kill() {
        if (Pid > 0)
            ::kill(Pid, SIGKILL);
    }

    QByteArray Out, Err;

private:
    bool Exited() {
        int status = 0;
        const pid_t r = waitpid(Pid, &status, WNOHANG);
        if (r == Pid) {
            Status = status;
            Pid = -Pid;
            return true;
        }
        return Pid < 0;
    }
    int Reap() {
        if (Pid > 0) {
            int status = 0;
            while (waitpid(Pid, &status, 0) < 0 && errno == EINTR) {
            }
            Status = status;
            Pid = -Pid;
        }
        return Status;
    }
    void CloseAll() {
        for (int& fd : Fds) {
            if (fd >= 0)
                ::close(fd);
            fd = -1;
        }
    }

    pid_t Pid = -1; // negative once reaped
    int Status = 0;
    int Fds[2] = {-1, -1};
};
