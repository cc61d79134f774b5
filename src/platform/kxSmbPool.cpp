#include "platform/kxSmbPool.h"

#include "model/kxLists.h"
#include "model/kxProgram.h"
#include "platform/kxSmbPaths.h"
#include "platform/kxSmbPoolHelper.h"
#include "smbhelper/kxSmbProtocol.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

using namespace kxsmb;

// The helper's errno values for a refused logon and a garbage reply are the engine's.
static_assert(kxsmb::ErrLogonFailure == LogonFailureCode && kxsmb::ErrBadReply == BadReplyCode);

namespace {

// The most helpers a pool that follows the work grows to.
constexpr int MostHelpers = 64;

// The share a request is about, "host/share" (the URL's own encoding), or "host/" for the
// share list, which goes over the IPC$ connection.
std::string ShareKey(const std::string& url) {
    constexpr std::size_t scheme = 6; // "smb://"
    const std::size_t host = url.find('/', scheme);
    if (host == std::string::npos)
        return url.substr(std::min(scheme, url.size())) + '/';
    const std::size_t share = url.find('/', host + 1);
    return url.substr(scheme, share == std::string::npos ? std::string::npos : share - scheme);
}
constexpr std::size_t ReadChunk = 64 * 1024;
// Only used when the cancel token has no eventfd.
constexpr int CancelCheckMs = 100;

// 1601-01-01 and 9999-12-31 23:59:59 UTC: anything outside is no real file time.
constexpr std::int64_t MinFileTime = -11644473600LL;
constexpr std::int64_t MaxFileTime = 253402300799LL;

double DaysFromUtc(const TimeSpec& t, const TkxLocalTimes& local) {
    if ((t.Sec == 0 && t.Nsec == 0) || t.Sec < MinFileTime || t.Sec > MaxFileTime ||
        t.Nsec >= 1000000000u)
        return 0;
    const qint64 ms = t.Sec * 1000 + t.Nsec / 1000000;
    return local.Days(ms);
}

std::string Frame(MsgType type, std::uint16_t port, const std::string& arg,
                  const std::string& wire) {
    Writer w;
    w.Begin(type);
    w.U16(port);
    w.Str(arg);
    if (!wire.empty())
        w.Str(wire);
    w.End();
    return std::move(w.Buf);
}

// What a helper may see of the search process's environment: where it lives, its language,
// Kerberos, sanitizer and Orvane settings. Never a password (ORVANE_PASSWORD) or anything else.
bool HelperMayInherit(std::string_view entry) {
    constexpr std::string_view Own = "ORVANE_", Password = "ORVANE_PASSWORD=";
    if (entry.substr(0, Own.size()) == Own)
        return entry.substr(0, Password.size()) != Password;
    static constexpr std::string_view Kept[] = {"HOME=",
                                                "PATH=",
                                                "USER=",
                                                "LOGNAME=",
                                                "LANG=",
                                                "LANGUAGE=",
                                                "LC_",
                                                "TZ=",
                                                "TMPDIR=",
                                                "KRB5",
                                                "SMB_CONF_PATH=",
                                                "ASAN_OPTIONS=",
                                                "UBSAN_OPTIONS=",
                                                "LSAN_OPTIONS=",
                                                "TSAN_OPTIONS=",
                                                "LD_LIBRARY_PATH="};
    for (std::string_view prefix : Kept) {
        if (entry.substr(0, prefix.size()) == prefix)
            return true;
    }
    return false;
}

void Wipe(QByteArray& bytes) {
    volatile char* p = bytes.data();
    for (qsizetype i = 0; i < bytes.size(); ++i)
        p[i] = 0;
    bytes.clear();
}

} // namespace

namespace {

class NoEntries : public TkxSmbPool::Sink {
public:
    bool Entry(std::uint8_t, std::string_view) override { return false; }
};

} // namespace

TkxSmbPool::TkxSmbPool(TkxSmbPoolOptions options)
    : Options(std::move(options)),
      Path(Options.HelperPath.isEmpty() ? FindHelper() : Options.HelperPath),
      Max(Options.MaxHelpers > 0 ? Options.MaxHelpers : DefaultHelperCount()) {
    if (Options.MaxHelpers <= 0 && !std::getenv("ORVANE_SMB_HELPERS")) {
        TkxPoolSizer::Options sizing;
        sizing.Initial = Max;
        sizing.Floor = std::min(2, Max);
        sizing.Ceiling = std::max(Max, MostHelpers);
        Sizer = std::make_unique<TkxPoolSizer>(sizing, std::chrono::steady_clock::now(),
                                               MachineIdleSeconds());
    }
    for (char** e = environ; e && *e; ++e) {
        if (HelperMayInherit(*e))
            Environment.emplace_back(*e);
    }
    for (std::string& e : Environment)
        EnvironmentPointers.push_back(e.data());
    EnvironmentPointers.push_back(nullptr);
    // The installed helper is forked by a spawner started now, ahead of the first request; a
    // helper given by path (a test's stand-in) is started directly.
    if (Options.HelperPath.isEmpty())
        StartSpawner();
}

TkxSmbPool::~TkxSmbPool() {
    {
        std::lock_guard lock(Mutex);
        Credentials.Password.fill(QChar(0));
        Credentials.Password.clear();
        for (auto& [host, c] : HostCredentials)
            c.Password.fill(QChar(0));
        Hold.reset();
    }
    std::vector<std::unique_ptr<Helper>> idle;
    {
        std::lock_guard lock(Mutex);
        idle.swap(Idle);
    }
    for (auto& h : idle)
        Destroy(std::move(h));
    std::lock_guard lock(SpawnerMutex);
    Destroy(std::move(SpawnerProcess));
}

int TkxSmbPool::DefaultHelperCount() {
    if (const char* env = std::getenv("ORVANE_SMB_HELPERS")) {
        char* end = nullptr;
        const long n = std::strtol(env, &end, 10);
        if (end != env && *end == '\0' && n >= 1 && n <= 256)
            return static_cast<int>(n);
    }
    return std::max(2, static_cast<int>(std::thread::hardware_concurrency()));
}

QString TkxSmbPool::FindHelper() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string dir(self, static_cast<std::size_t>(n));
        dir.erase(dir.rfind('/') + 1);
        // Relative to the programs, so an installation that was moved still finds its own.
        for (const std::string& candidate :
             {dir + "orvane-smb-helper", dir + ORVANE_HELPER_FROM_PROGRAMS "/orvane-smb-helper"}) {
            if (access(candidate.c_str(), X_OK) == 0)
                return QFile::decodeName(QByteArray(candidate.data(), qsizetype(candidate.size())));
        }
    }
    if (const char* env = std::getenv("ORVANE_SMB_HELPER"); env && *env)
        return QFile::decodeName(env);
    return {};
}

void TkxSmbPool::NewCredentials(std::vector<std::unique_ptr<Helper>>& retired) {
    ++Generation;
    retired.swap(Idle);
    for (auto& h : retired)
        Leaving(*h);
    Live -= static_cast<int>(retired.size());
    WakeToLookAgain(static_cast<int>(retired.size()));
}

void TkxSmbPool::UpdateHold() {
    bool held = !Credentials.Password.isEmpty();
    for (const auto& [host, c] : HostCredentials)
        held = held || !c.Password.isEmpty();
    if (held && !Hold)
        Hold.emplace();
    else if (!held)
        Hold.reset();
}

bool TkxSmbPool::HoldsPasswords() const {
    std::lock_guard lock(Mutex);
    return Hold.has_value();
}

void TkxSmbPool::ForgetPasswords() {
    std::vector<std::unique_ptr<Helper>> retired;
    {
        std::lock_guard lock(Mutex);
        if (!Hold)
            return;
        Credentials.Password.fill(QChar(0));
        Credentials.Password.clear();
        for (auto& [host, c] : HostCredentials) {
            c.Password.fill(QChar(0));
            c.Password.clear();
        }
        NewCredentials(retired);
        UpdateHold();
    }
    for (auto& h : retired)
        Destroy(std::move(h));
}

namespace {
bool SameCredentials(const TkxCredentials& a, const TkxCredentials& b) {
    return a.User == b.User && a.Domain == b.Domain && a.Password == b.Password &&
           a.UseKerberos == b.UseKerberos;
}
} // namespace

void TkxSmbPool::SetCredentials(const TkxCredentials& credentials) {
    std::vector<std::unique_ptr<Helper>> retired;
    {
        std::lock_guard lock(Mutex);
        // Handed again at every search (the window does): helpers logged in with them stay.
        if (SameCredentials(Credentials, credentials))
            return;
        Credentials.Password.fill(QChar(0));
        Credentials = credentials;
        NewCredentials(retired);
        UpdateHold();
    }
    for (auto& h : retired)
        Destroy(std::move(h));
}

void TkxSmbPool::SetHostCredentials(const std::string& host, const TkxCredentials* credentials) {
    std::vector<std::unique_ptr<Helper>> retired;
    {
        std::lock_guard lock(Mutex);
        const auto it = HostCredentials.find(host);
        if (it != HostCredentials.end() && credentials && SameCredentials(it->second, *credentials))
            return;
        if (it == HostCredentials.end() && !credentials)
            return;
        if (it != HostCredentials.end()) {
            it->second.Password.fill(QChar(0));
            HostCredentials.erase(it);
        }
        if (credentials)
            HostCredentials[host] = *credentials;
        NewCredentials(retired);
        UpdateHold();
    }
    for (auto& h : retired)
        Destroy(std::move(h));
}

void TkxSmbPool::SetAllowSmb1(bool allowed) {
    std::vector<std::unique_ptr<Helper>> retired;
    {
        std::lock_guard lock(Mutex);
        if (AllowSmb1 == allowed)
            return;
        AllowSmb1 = allowed;
        NewCredentials(retired);
    }
    for (auto& h : retired)
        Destroy(std::move(h));
}

void TkxSmbPool::SetMaxHelpers(int count) {
    std::vector<std::unique_ptr<Helper>> surplus;
    {
        std::lock_guard lock(Mutex);
        Sizer.reset();
        Max = std::clamp(count, 1, 256);
        while (Live > Max && !Idle.empty()) {
            surplus.push_back(std::move(Idle.front()));
            Idle.erase(Idle.begin());
            --Live;
        }
        WakeToLookAgain(Max - Live);
    }
    for (auto& h : surplus)
        Destroy(std::move(h));
}

int TkxSmbPool::MaxHelpers() const {
    std::lock_guard lock(Mutex);
    return Sizer ? MostHelpers : Max;
}

TkxSmbPool::Counts TkxSmbPool::HelperCounts() const {
    std::lock_guard lock(Mutex);
    Counts c = Seen;
    c.Allowed = Max;
    return c;
}

std::vector<pid_t> TkxSmbPool::HelperPids() const {
    std::lock_guard lock(Mutex);
    std::vector<pid_t> pids = Busy;
    for (const auto& h : Idle)
        pids.push_back(h->Pid);
    return pids;
}

pid_t TkxSmbPool::SpawnerPid() const {
    std::lock_guard lock(SpawnerMutex);
    return SpawnerProcess ? SpawnerProcess->Pid : -1;
}

std::vector<pid_t> TkxSmbPool::BusyHelperPids() const {
    std::lock_guard lock(Mutex);
    return Busy;
}

std::unique_ptr<TkxSmbPool::Helper> TkxSmbPool::Exec(bool spawner, int* error) {
    if (Path.isEmpty()) {
        *error = ENOEXEC;
        return nullptr;
    }
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        *error = errno;
        return nullptr;
    }
    int childFd = sv[1];
    if (childFd == HelperFd) {
        // dup2 onto itself would leave close-on-exec set.
        childFd = fcntl(sv[1], F_DUPFD_CLOEXEC, HelperFd + 1);
        close(sv[1]);
        if (childFd < 0) {
            *error = errno;
            close(sv[0]);
            return nullptr;
        }
    }

    TkxSpawnSetup setup({SIGPIPE, SIGINT, SIGTERM, SIGCHLD});
    setup.Dup(childFd, HelperFd);
    setup.Open(STDIN_FILENO, "/dev/null", O_RDONLY);
    setup.Open(STDOUT_FILENO, "/dev/null", O_WRONLY);
    setup.CloseFrom(HelperFd + 1);

    QByteArray path = QFile::encodeName(Path);
    std::string timeoutFlag = "--timeout-ms";
    std::string timeout = std::to_string(Options.SmbTimeout.count());
    std::string spawnerFlag = "--spawner";
    char* argv[] = {path.data(), timeoutFlag.data(), timeout.data(),
                    spawner ? spawnerFlag.data() : nullptr, nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, path.constData(), setup.Actions(), setup.Attributes(), argv,
                               EnvironmentPointers.data());
    close(childFd);
    if (rc != 0) {
        close(sv[0]);
        *error = ENOEXEC;
        return nullptr;
    }
    auto h = std::make_unique<Helper>();
    h->Pid = pid;
    h->Sock = sv[0];
#ifdef SYS_pidfd_open
    h->PidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#endif
    return h;
}

namespace {

// One request to the spawner and its answer: a status byte with the pid (and the helper's
// descriptors) or a plain byte. False when the spawner does not answer properly in time.
bool AskSpawner(int sock, const char* request, std::size_t size, char* answer,
                std::size_t answerSize, int fds[2]) {
    constexpr int Limit = 10000; // ms; a local fork takes a few
    if (!kxsmb::SendAll(sock, request, size))
        return false;
    pollfd p{sock, POLLIN, 0};
    int ready;
    do
        ready = poll(&p, 1, Limit);
    while (ready < 0 && errno == EINTR);
    if (ready <= 0)
        return false;
    iovec iov{answer, answerSize};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))];
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t got;
    do
        got = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC | MSG_WAITALL);
    while (got < 0 && errno == EINTR);
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        const std::size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        int passed[2] = {-1, -1};
        std::memcpy(passed, CMSG_DATA(c), std::min<std::size_t>(n, 2) * sizeof(int));
        for (std::size_t i = 0; i < n && i < 2; ++i) {
            if (fds)
                fds[i] = passed[i];
            else
                close(passed[i]);
        }
    }
    return got == ssize_t(answerSize) && (msg.msg_flags & MSG_CTRUNC) == 0;
}

} // namespace

void TkxSmbPool::StartSpawner() {
    int error = 0;
    std::unique_ptr<Helper> s = Exec(true, &error);
    if (!s)
        return;
    SpawnerProcess = std::move(s);
}

std::unique_ptr<TkxSmbPool::Helper> TkxSmbPool::Spawn(int* error) {
    {
        std::lock_guard lock(SpawnerMutex);
        if (SpawnerProcess) {
            char answer[5] = {1};
            int fds[2] = {-1, -1};
            const char request = kxsmb::SpawnHelper;
            if (AskSpawner(SpawnerProcess->Sock, &request, 1, answer, sizeof answer, fds) &&
                answer[0] == 0 && fds[0] >= 0) {
                std::int32_t pid = 0;
                std::memcpy(&pid, answer + 1, sizeof pid);
                auto h = std::make_unique<Helper>();
                h->Pid = pid;
                h->Sock = fds[0];
                h->PidFd = fds[1];
                h->Forked = true;
                return h;
            }
            for (int fd : fds) {
                if (fd >= 0)
                    close(fd);
            }
            // A spawner that fails once is not trusted again: helpers are started directly.
            Destroy(std::move(SpawnerProcess));
        }
    }
    return Exec(false, error);
}

void TkxSmbPool::Destroy(std::unique_ptr<Helper> h) {
    if (!h)
        return;
    if (h->Sock >= 0)
        close(h->Sock);
    bool signalled = false;
#ifdef SYS_pidfd_send_signal
    if (h->PidFd >= 0)
        signalled = syscall(SYS_pidfd_send_signal, h->PidFd, SIGKILL, nullptr, 0) == 0;
#endif
    if (!signalled && h->Pid > 0)
        kill(h->Pid, SIGKILL); // not reaped yet, so the pid is still ours
    if (h->Forked && h->Pid > 0) {
        // The spawner's child: the spawner reaps it, and answers once it has.
        std::lock_guard lock(SpawnerMutex);
        if (SpawnerProcess) {
            char request[5] = {kxsmb::ReapHelper};
            const std::int32_t pid = h->Pid;
            std::memcpy(request + 1, &pid, sizeof pid);
            char done = 1;
            if (!AskSpawner(SpawnerProcess->Sock, request, sizeof request, &done, 1, nullptr))
                Destroy(std::move(SpawnerProcess));
        }
    } else if (h->Pid > 0) {
        int status = 0;
        while (waitpid(h->Pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (h->PidFd >= 0)
        close(h->PidFd);
}

int TkxSmbPool::Parse(Helper& h, Sink& sink, std::uint32_t& received, bool* healthy) {
    *healthy = false;
    std::size_t pos = 0;
    const std::string_view in(h.In);
    std::uint32_t len = 0;
    std::uint8_t type = 0;
    while (PeekHeader(in.substr(pos), len, type)) {
        if (len > MaxBody)
            return EIO;
        if (in.size() - pos - HeaderSize < len)
            break;
        const std::string_view body = in.substr(pos + HeaderSize, len);
        pos += HeaderSize + len;
        if (type == MsgEnd) {
            Reader r(body);
            const std::int32_t err = r.I32();
            const std::uint32_t count = r.U32();
            // Anything after END, or a count that disagrees, means the stream is off.
            if (!r.Ok() || !r.AtEnd() || count != received || pos != in.size() || err < 0)
                return EIO;
            h.In.clear();
            *healthy = true;
            return err;
        }
        if (!sink.Entry(type, body))
            return sink.Error ? sink.Error : EIO;
        ++received;
    }
    h.In.erase(0, pos);
    return -1;
}

int TkxSmbPool::Exchange(Helper& h, const std::string& request, Sink& sink,
                         const TkxCancelToken& cancel, bool* healthy) {
    *healthy = false;
    h.In.clear();
    h.RequestSent = false;
    if (!kxsmb::SendAll(h.Sock, request.data(), request.size()))
        return EIO;
    h.RequestSent = true;
    std::uint32_t received = 0;
    for (;;) {
        if (const int outcome = Parse(h, sink, received, healthy); outcome >= 0)
            return outcome;

        pollfd fds[2] = {{h.Sock, POLLIN, 0}, {cancel.Fd(), POLLIN, 0}};
        const nfds_t n = cancel.Fd() >= 0 ? 2 : 1;
        const auto stallMs = static_cast<int>(Options.StallLimit.count());
        const auto deadline = std::chrono::steady_clock::now() + Options.StallLimit;
        int ready = 0;
        for (;;) {
            int waitMs = stallMs;
            if (n == 1)
                waitMs = std::min(waitMs, CancelCheckMs);
            ready = poll(fds, n, waitMs);
            if (cancel.IsCancelled())
                return ECANCELED;
            if (ready > 0)
                break;
            if (ready < 0 && errno != EINTR)
                return EIO;
            if (std::chrono::steady_clock::now() >= deadline)
                return ETIMEDOUT;
        }
        // Read into a buffer of our own: growing h.In first would zero 64 KiB per read.
        thread_local char chunk[ReadChunk];
        const ssize_t got = read(h.Sock, chunk, ReadChunk);
        if (got <= 0) {
            // EOF, ECONNRESET and friends: the helper died.
            if (got < 0 && errno == EINTR)
                continue;
            return EIO;
        }
        h.In.append(chunk, static_cast<std::size_t>(got));
    }
}

namespace {
void PutCredentials(Writer& w, const TkxCredentials& c) {
    QByteArray password = c.Password.toUtf8();
    w.Str(c.User.toStdString());
    w.Str(c.Domain.toStdString());
    w.Str(std::string_view(password.constData(), std::size_t(password.size())));
    w.U8(c.UseKerberos ? 1 : 0);
    w.End();
    Wipe(password);
}

void Wipe(std::string& bytes) {
    volatile char* p = bytes.data();
    for (std::size_t i = 0; i < bytes.size(); ++i)
        p[i] = 0;
    bytes.clear();
}
} // namespace

std::vector<std::string> TkxSmbPool::LogInFrames(Helper& h) {
    std::vector<std::string> frames;
    std::lock_guard lock(Mutex);
    // A helper keeps its library's default (no SMB1) unless told otherwise.
    if (AllowSmb1) {
        Writer p;
        p.Begin(MsgSetProtocols);
        p.U8(ProtocolsSmb1);
        p.End();
        frames.push_back(std::move(p.Buf));
    }
    Writer w;
    w.Begin(MsgSetCredentials);
    PutCredentials(w, Credentials);
    frames.push_back(std::move(w.Buf));
    for (const auto& [host, c] : HostCredentials) {
        Writer hw;
        hw.Begin(MsgSetHostCredentials);
        hw.Str(host);
        PutCredentials(hw, c);
        frames.push_back(std::move(hw.Buf));
    }
    h.Generation = Generation;
    return frames;
}

int TkxSmbPool::LogIn(Helper& h, const TkxCancelToken& cancel, bool* healthy) {
    // One frame per message, each answered by an END of its own.
    std::vector<std::string> frames = LogInFrames(h);
    int error = 0;
    *healthy = true;
    for (std::string& frame : frames) {
        if (*healthy && error == 0) {
            NoEntries none;
            error = Exchange(h, frame, none, cancel, healthy);
        }
        Wipe(frame);
    }
    return error;
}

int TkxSmbPool::Run(const std::string& key, const std::string& request, Sink& sink,
                    const TkxCancelToken& cancel) {
    // A helper that died since it was found alive fails the send; one more try then. Once the
    // request is out, a death is the request's failure (it may be what killed the helper).
    for (int attempt = 0; attempt < 2; ++attempt) {
        int error = 0;
        std::unique_ptr<Helper> h = Acquire(key, cancel, &error);
        if (!h)
            return error;
        const bool reused = h->LoggedIn;
        bool healthy = false;
        if (!h->LoggedIn) {
            error = LogIn(*h, cancel, &healthy);
            if (!healthy || error != 0) {
                Release(std::move(h), false);
                return error ? error : EIO;
            }
            h->LoggedIn = true;
        }
        error = Exchange(*h, request, sink, cancel, &healthy);
        const bool stale = reused && !healthy && !h->RequestSent;
        if (healthy)
            h->Visited(key);
        Release(std::move(h), healthy);
        if (stale && attempt == 0)
            continue;
        return error;
    }
    return EIO;
}

namespace {

class ShareCollector : public TkxSmbPool::Sink {
public:
    ShareCollector(std::size_t limit) : Limit(limit) {}
    bool Entry(std::uint8_t type, std::string_view body) override {
        if (type != MsgShare)
            return false;
        Reader r(body);
        const std::uint32_t shareType = r.U32();
        const std::string_view name = r.Str();
        const std::string_view comment = r.Str();
        if (!r.Ok() || !r.AtEnd())
            return false;
        if (!IsUsableEntryName(name) || name == "." || name == "..")
            return true;
        if (Items.size() >= Limit) {
            Error = EFBIG;
            return false;
        }
        TkxShareEntry e;
        e.Name = NameFromServer(name);
        e.Type = static_cast<int>(std::min<std::uint32_t>(shareType, ShareIpc));
        e.Comment = NameFromServer(comment.substr(0, MaxNameBytes));
        Items.push_back(std::move(e));
        return true;
    }
    std::vector<TkxShareEntry> Items;

private:
    std::size_t Limit;
};

bool ReadDirEntry(std::string_view body, TkxDirEntry& e, std::string_view& name,
                  const TkxLocalTimes& local) {
    Reader r(body);
    e.Attributes = r.U32();
    e.Size = r.U64();
    const TimeSpec btime = r.Time();
    const TimeSpec mtime = r.Time();
    const TimeSpec atime = r.Time();
    e.FileId = r.U64();
    name = r.Str();
    if (!r.Ok() || !r.AtEnd())
        return false;
    e.IsDirectory = (e.Attributes & 0x10) != 0;
    e.Creating = DaysFromUtc(btime, local);
    e.EditTime = DaysFromUtc(mtime, local);
    e.LastAccess = DaysFromUtc(atime, local);
    return true;
}

class DirCollector : public TkxSmbPool::Sink {
public:
    // Most folders hold a few dozen entries: room for them at once, not in six steps.
    DirCollector(std::size_t limit) : Limit(limit) {
        Items.reserve(std::min<std::size_t>(limit, 32));
    }
    bool Entry(std::uint8_t type, std::string_view body) override {
        if (type != MsgDirEntry)
            return false;
        TkxDirEntry e;
        std::string_view name;
        if (!ReadDirEntry(body, e, name, Local))
            return false;
        if (!IsUsableEntryName(name))
            return true; // no path can name it; leave it out
        if (Items.size() >= Limit) {
            Error = EFBIG;
            return false;
        }
        e.Name = NameFromServer(name);
        Items.push_back(std::move(e));
        return true;
    }
    std::vector<TkxDirEntry> Items;

private:
    std::size_t Limit;
    TkxLocalTimes Local; // entries are read on the thread that made the collector
};

class StatCollector : public TkxSmbPool::Sink {
public:
    bool Entry(std::uint8_t type, std::string_view body) override {
        std::string_view name;
        if (type != MsgDirEntry || Got || !ReadDirEntry(body, Item, name, Local))
            return false;
        Got = true;
        return true;
    }
    TkxDirEntry Item;
    bool Got = false;
    TkxLocalTimes Local;
};

} // namespace

int TkxSmbPool::ListShares(const std::string& host, std::uint16_t port,
                           std::vector<TkxShareEntry>& out, const TkxCancelToken& cancel,
                           const std::string& wire) {
    ShareCollector sink(Options.MaxEntries);
    const int error = Run(host + '/', Frame(MsgListShares, port, host, wire), sink, cancel);
    if (error == 0)
        out = std::move(sink.Items);
    return error;
}

int TkxSmbPool::ListDir(const std::string& host, const std::string& url, std::uint16_t port,
                        std::vector<TkxDirEntry>& out, const TkxCancelToken& cancel,
                        bool ownIdKnown, const std::string& wire) {
    DirCollector sink(Options.MaxEntries);
    (void)host;
    const int error = Run(ShareKey(url), ListDirFrame(url, port, ownIdKnown, wire), sink, cancel);
    if (error == 0)
        out = std::move(sink.Items);
    return error;
}

std::string TkxSmbPool::ListDirFrame(const std::string& url, std::uint16_t port, bool ownIdKnown,
                                     const std::string& wire) const {
    Writer w;
    w.Begin(MsgListDir);
    w.U16(port);
    w.Str(url);
    if (ownIdKnown || !wire.empty())
        w.U8(ownIdKnown ? ListOwnIdKnown : 0);
    if (!wire.empty())
        w.Str(wire);
    w.End();
    return std::move(w.Buf);
}

int TkxSmbPool::Stat(const std::string& host, const std::string& url, std::uint16_t port,
                     TkxDirEntry& out, const TkxCancelToken& cancel, const std::string& wire) {
    StatCollector sink;
    (void)host;
    const int error = Run(ShareKey(url), Frame(MsgStat, port, url, wire), sink, cancel);
    if (error == 0 && !sink.Got)
        return EIO;
    if (error == 0)
        out = sink.Item;
    return error;
}

// A request's way: waiting for a helper (Wait), then the frames in turn on its socket (the
// log-in frames of a fresh helper, then the listing), each answered by an END.
struct TkxSmbPool::Request::TState {
    TkxSmbPool* Pool = nullptr;
    std::string Key;
    std::shared_ptr<Waiter> Wait;
    std::unique_ptr<Helper> H;
    std::vector<std::string> Frames;
    std::size_t Next = 0; // the frame being answered is Next - 1
    bool Reused = false;
    bool Ended = false;
    bool Thread = false;
    int Error = 0;
    std::uint32_t Received = 0;
    std::unique_ptr<DirCollector> Listing;
    NoEntries LogInAnswer;
    std::chrono::steady_clock::time_point LastHeard;

    ~TState() {
        for (std::string& frame : Frames)
            Wipe(frame);
    }
    void End(int error, bool healthy, bool thread = false) {
        if (healthy && !thread)
            H->Visited(Key);
        Pool->Release(std::move(H), healthy);
        Ended = true;
        Thread = thread;
        Error = error;
    }
    // Sends the next frame; false when the helper is gone.
    bool SendNext(std::chrono::steady_clock::time_point now) {
        std::string& frame = Frames[Next++];
        H->In.clear();
        Received = 0;
        const bool ok = kxsmb::SendAll(H->Sock, frame.data(), frame.size());
        if (Next < Frames.size())
            Wipe(frame); // a log-in frame: it may hold a password
        LastHeard = now;
        return ok;
    }
    // The helper is ours: log it in when fresh, then send the request.
    void Start(std::chrono::steady_clock::time_point now) {
        Reused = H->LoggedIn;
        if (!H->LoggedIn) {
            std::vector<std::string> logIn = Pool->LogInFrames(*H);
            Frames.insert(Frames.begin(), std::make_move_iterator(logIn.begin()),
                          std::make_move_iterator(logIn.end()));
        }
        if (!SendNext(now)) {
            // One that died since it was found idle: a thread tries again with another.
            End(EIO, false, Reused);
        }
    }
};

TkxSmbPool::Request::Request(std::unique_ptr<TState> state) : S(std::move(state)) {}

TkxSmbPool::Request::~Request() {
    if (!S || S->Ended)
        return;
    TkxSmbPool& pool = *S->Pool;
    if (S->Wait) {
        std::lock_guard lock(pool.Mutex);
        if (!S->Wait->Answered.load(std::memory_order_relaxed)) {
            std::erase(pool.Waiters, S->Wait);
        } else if (S->Wait->Given) {
            std::erase(pool.Busy, S->Wait->Given->Pid);
            pool.Place(std::move(S->Wait->Given));
        } else if (S->Wait->LookAgain) {
            pool.WakeToLookAgain(1); // the room is someone else's now
        }
    }
    if (S->H)
        pool.Release(std::move(S->H), false);
}

int TkxSmbPool::Request::Fd() const {
    return S->H ? S->H->Sock : -1;
}

bool TkxSmbPool::Request::NeedsThread() const {
    return S->Thread;
}

int TkxSmbPool::Request::Error() const {
    return S->Error;
}

std::vector<TkxDirEntry>& TkxSmbPool::Request::Entries() {
    return S->Listing->Items;
}

std::chrono::steady_clock::time_point TkxSmbPool::Request::StallAt() const {
    if (!S->H)
        return std::chrono::steady_clock::time_point::max();
    return S->LastHeard + S->Pool->Options.StallLimit;
}

bool TkxSmbPool::Request::Step(std::chrono::steady_clock::time_point now) {
    TState& s = *S;
    if (s.Ended)
        return true;
    if (!s.H) {
        // Answered is set last, so a request still waiting costs no lock to look at.
        if (!s.Wait->Answered.load(std::memory_order_acquire))
            return false;
        {
            std::lock_guard lock(s.Pool->Mutex);
            if (!s.Wait->Answered.load(std::memory_order_relaxed))
                return false;
            s.H = std::move(s.Wait->Given);
        }
        s.Wait.reset();
        if (!s.H) {
            // Room for one more helper: starting it blocks.
            s.Ended = s.Thread = true;
            return true;
        }
        s.Start(now);
        return s.Ended;
    }
    for (;;) {
        const bool logIn = s.Next < s.Frames.size(); // the answer is to a log-in frame
        Sink& sink = logIn ? static_cast<Sink&>(s.LogInAnswer) : *s.Listing;
        bool healthy = false;
        const int outcome = Parse(*s.H, sink, s.Received, &healthy);
        if (logIn && outcome >= 0 && (outcome != 0 || !healthy)) {
            // A fresh helper that fails its log-in fails the request, as a thread's would.
            s.End(outcome ? outcome : EIO, false);
            return true;
        }
        if (!logIn && outcome >= 0) {
            s.End(outcome, healthy);
            return true;
        }
        if (outcome == 0) {
            s.H->LoggedIn = s.Next + 1 == s.Frames.size();
            if (!s.SendNext(now)) {
                s.End(EIO, false);
                return true;
            }
            continue;
        }
        thread_local char chunk[ReadChunk];
        const ssize_t got = recv(s.H->Sock, chunk, ReadChunk, MSG_DONTWAIT);
        if (got > 0) {
            s.H->In.append(chunk, static_cast<std::size_t>(got));
            s.LastHeard = now;
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (now >= StallAt()) {
                s.End(ETIMEDOUT, false);
                return true;
            }
            return false;
        }
        s.End(EIO, false); // EOF, ECONNRESET and friends: the helper died
        return true;
    }
}

std::unique_ptr<TkxSmbPool::Request> TkxSmbPool::BeginListDir(const std::string& url,
                                                              std::uint16_t port, bool ownIdKnown,
                                                              const std::string& wire,
                                                              std::function<void()> wake) {
    auto state = std::make_unique<Request::TState>();
    state->Pool = this;
    state->Key = ShareKey(url);
    state->Frames.push_back(ListDirFrame(url, port, ownIdKnown, wire));
    state->Listing = std::make_unique<DirCollector>(Options.MaxEntries);
    {
        std::unique_lock lock(Mutex);
        state->H = TakeIdle(lock, state->Key);
        if (!state->H) {
            if (Live < Max)
                return nullptr;
            if (Sizer)
                Sizer->Waited();
            state->Wait = std::make_shared<Waiter>();
            state->Wait->Key = &state->Key;
            state->Wait->Notify = std::move(wake);
            Waiters.push_back(state->Wait);
        }
    }
    std::unique_ptr<Request> request(new Request(std::move(state)));
    if (request->S->H)
        request->S->Start(std::chrono::steady_clock::now());
    return request;
}
