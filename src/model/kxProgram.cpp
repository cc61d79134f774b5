#include "model/kxProgram.h"

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QThread>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr qsizetype MaxOutput = qsizetype(1) << 20;

// Standard input and error on /dev/null, standard output on `outFd` (or /dev/null), nothing
// else of this process open; nothing blocked, and the signals this process handles or ignores
// back at their defaults, as a fresh program expects them. -1 when it could not be started.
pid_t Spawn(const QString& program, const QStringList& args, int outFd) {
    std::vector<QByteArray> bytes{QFile::encodeName(program)};
    for (const QString& arg : args)
        bytes.push_back(arg.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);

    TkxSpawnSetup setup({SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD});
    setup.Open(STDIN_FILENO, "/dev/null", O_RDONLY);
    if (outFd >= 0)
        setup.Dup(outFd, STDOUT_FILENO);
    else
        setup.Open(STDOUT_FILENO, "/dev/null", O_WRONLY);
    setup.Open(STDERR_FILENO, "/dev/null", O_WRONLY);
    setup.CloseFrom(STDERR_FILENO + 1);

    pid_t pid = -1;
    const int rc =
        posix_spawnp(&pid, argv[0], setup.Actions(), setup.Attributes(), argv.data(), environ);
    return rc == 0 ? pid : -1;
}

// A descriptor that becomes readable when the process ends; -1 when the kernel has none.
int PidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

int Reap(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

} // namespace

TkxSpawnSetup::TkxSpawnSetup(std::initializer_list<int> defaultSignals) {
    posix_spawn_file_actions_init(&FileActions);
    posix_spawnattr_init(&Attr);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&Attr, &signals);
    for (int s : defaultSignals)
        sigaddset(&signals, s);
    posix_spawnattr_setsigdefault(&Attr, &signals);
    posix_spawnattr_setflags(&Attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

TkxSpawnSetup::~TkxSpawnSetup() {
    posix_spawn_file_actions_destroy(&FileActions);
    posix_spawnattr_destroy(&Attr);
}

void TkxSpawnSetup::Open(int fd, const char* path, int flags) {
    posix_spawn_file_actions_addopen(&FileActions, fd, path, flags, 0);
}

void TkxSpawnSetup::Dup(int from, int to) {
    posix_spawn_file_actions_adddup2(&FileActions, from, to);
}

void TkxSpawnSetup::CloseFrom([[maybe_unused]] int lowest) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(&FileActions, lowest);
#endif
}

TkxProgramRun RunProgram(const QString& program, const QStringList& args, int limitMs) {
    TkxProgramRun run;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return run;
    const pid_t pid = Spawn(program, args, out[1]);
    close(out[1]);
    if (pid < 0) {
        close(out[0]);
        return run;
    }
    run.Started = true;
    const int pidFd = PidFd(pid);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    bool eof = false, exited = false;
    int status = 0;
    while (!eof || !exited) {
        if (eof && pidFd < 0) {
            // No way to wait with a limit; a program ends as it closes its output.
            status = Reap(pid);
            exited = true;
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            break;
        pollfd fds[2];
        nfds_t n = 0;
        if (!eof)
            fds[n++] = {out[0], POLLIN, 0};
        if (!exited && pidFd >= 0)
            fds[n++] = {pidFd, POLLIN, 0};
        const int ready = poll(fds, n, static_cast<int>(left));
        if (ready < 0 && errno != EINTR)
            break;
        for (nfds_t i = 0; ready > 0 && i < n; ++i) {
            if (!fds[i].revents)
                continue;
            if (fds[i].fd == pidFd) {
                status = Reap(pid);
                exited = true;
                continue;
            }
            char buffer[4096];
            const ssize_t got = read(out[0], buffer, sizeof buffer);
            if (got > 0 && run.Output.size() < MaxOutput)
                run.Output.append(buffer, std::min<qsizetype>(got, MaxOutput - run.Output.size()));
            else if (got == 0 || (got < 0 && errno != EINTR))
                eof = true;
        }
    }
    if (!exited) {
        kill(pid, SIGKILL);
        Reap(pid);
    }
    close(out[0]);
    if (pidFd >= 0)
        close(pidFd);
    run.Finished = exited;
    run.NormalExit = exited && WIFEXITED(status);
    run.ExitCode = run.NormalExit ? WEXITSTATUS(status) : -1;
    return run;
}

bool StartProgram(const QString& program, const QStringList& args) {
    const pid_t pid = Spawn(program, args, -1);
    if (pid < 0)
        return false;
    const int pidFd = PidFd(pid);
    QCoreApplication* app = QCoreApplication::instance();
    if (pidFd < 0 || !app || QThread::currentThread() != app->thread()) {
        if (pidFd >= 0)
            close(pidFd);
        Reap(pid);
        return true;
    }
    auto* notifier = new QSocketNotifier(pidFd, QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [notifier, pid, pidFd] {
        notifier->setEnabled(false);
        Reap(pid);
        close(pidFd);
        notifier->deleteLater();
    });
    return true;
}
