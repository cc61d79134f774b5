#include "platform/kxSmbNegotiate.h"

#include "engine/kxServices.h"
#include "platform/kxHostScreen.h"
#include "platform/kxNetbios.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned char CommandNegotiate = 0x72;
constexpr std::size_t Smb1HeaderBytes = 32;
// Enough of any first message to tell the dialect (an SMB 2 header is 64 bytes).
constexpr std::size_t MostRead = 128;

void PutLe16(std::string& out, std::uint16_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
}

std::uint32_t Le(std::string_view s, std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= std::uint32_t(static_cast<unsigned char>(s[at + std::size_t(i)])) << (8 * i);
    return v;
}

// A session message: type 0, then the length in 3 bytes, most significant first.
std::string Framed(std::string_view message) {
    std::string out;
    out.push_back(0);
    out.push_back(static_cast<char>((message.size() >> 16) & 0xFF));
    out.push_back(static_cast<char>((message.size() >> 8) & 0xFF));
    out.push_back(static_cast<char>(message.size() & 0xFF));
    out.append(message);
    return out;
}

class Connection {
public:
    ~Connection() {
        if (Fd >= 0)
            close(Fd);
    }

    bool Open(const std::string& host, std::uint16_t port) {
        sockaddr_storage addr{};
        socklen_t len = 0;
        int error = 0;
        if (!TkxHostScreen::Address(host, port, addr, len, &error))
            return false;
        Fd = socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (Fd < 0)
            return false;
        if (connect(Fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0)
            return true;
        if (errno != EINPROGRESS || !Wait(POLLOUT))
            return false;
        int soError = 0;
        socklen_t soLen = sizeof soError;
        return getsockopt(Fd, SOL_SOCKET, SO_ERROR, &soError, &soLen) == 0 && soError == 0;
    }

    bool Send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = send(Fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                return false;
            if (n < 0) {
                if (!Wait(POLLOUT))
                    return false;
                continue;
            }
            bytes.remove_prefix(std::size_t(n));
        }
        return true;
    }

    bool Read(char* into, std::size_t count) {
        while (count > 0) {
            const ssize_t n = recv(Fd, into, count, 0);
            if (n == 0)
                return false;
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                return false;
            if (n < 0) {
                if (!Wait(POLLIN))
                    return false;
                continue;
            }
            into += n;
            count -= std::size_t(n);
        }
        return true;
    }

    // The next session message, at most MostRead bytes of it; keep-alives are skipped.
    bool Message(unsigned char& type, std::string& body) {
        for (;;) {
            char header[4];
            if (!Read(header, sizeof header))
                return false;
            type = static_cast<unsigned char>(header[0]);
            // 17 bits of length on port 139, 24 on 445: the flag bit is 0 on both.
            const std::size_t length = (std::size_t(static_cast<unsigned char>(header[1])) << 16) |
                                       (std::size_t(static_cast<unsigned char>(header[2])) << 8) |
                                       static_cast<unsigned char>(header[3]);
            if (type == 0x85 && length == 0)
                continue;
            body.resize(std::min(length, MostRead));
            return Read(body.data(), body.size());
        }
    }

    Clock::time_point Deadline;
    const TkxCancelToken* Cancel = nullptr;

private:
    bool Wait(short events) {
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - Clock::now());
            if (left.count() <= 0 || Cancel->IsCancelled())
                return false;
            pollfd fds[2] = {{Fd, events, 0}, {Cancel->Fd(), POLLIN, 0}};
            const nfds_t n = fds[1].fd >= 0 ? 2 : 1;
            // Without the token's eventfd, look at its flag now and then.
            const int ready = poll(
                fds, n, int(std::min<std::int64_t>(left.count(), n == 2 ? left.count() : 100)));
            if (ready < 0 && errno != EINTR)
                return false;
            if (Cancel->IsCancelled())
                return false;
            if (ready > 0 && fds[0].revents)
                return true;
        }
    }

    int Fd = -1;
};

} // namespace

std::string SmbNegotiateRequest() {
    std::string message;
    message.append("\xFFSMB", 4);
    message.push_back(static_cast<char>(CommandNegotiate));
    message.append(4, '\0');  // status
    message.push_back(0x18);  // case-insensitive, canonical paths
    PutLe16(message, 0xC801); // Unicode, NT status codes, extended security, long names
    message.append(12, '\0'); // PID high, security features, reserved
    PutLe16(message, 0);      // tree
    PutLe16(message, 0xFEFF); // process
    PutLe16(message, 0);      // user
    PutLe16(message, 0);      // multiplex
    message.push_back(0);     // no parameter words
    std::string dialects;
    for (const std::string_view d : {"NT LM 0.12", "SMB 2.002", "SMB 2.???"}) {
        dialects.push_back(0x02);
        dialects.append(d);
        dialects.push_back('\0');
    }
    PutLe16(message, static_cast<std::uint16_t>(dialects.size()));
    message += dialects;
    return Framed(message);
}

TkxSmbDialects ParseSmbNegotiateReply(std::string_view message) {
    if (message.size() >= 4 && message.substr(0, 4) == std::string_view("\xFESMB", 4))
        return TkxSmbDialects::Smb2;
    if (message.size() < Smb1HeaderBytes + 3 ||
        message.substr(0, 4) != std::string_view("\xFFSMB", 4))
        return TkxSmbDialects::Unknown;
    const auto command = static_cast<unsigned char>(message[4]);
    const std::uint32_t status = Le(message, 5, 4);
    const auto words = static_cast<unsigned char>(message[Smb1HeaderBytes]);
    if (command != CommandNegotiate || status != 0 || words < 1)
        return TkxSmbDialects::Unknown;
    // Index 0 is "NT LM 0.12"; 0xFFFF is none of ours, an older SMB1 dialect. Either way it
    // turned the SMB 2 dialects down.
    const std::uint32_t dialect = Le(message, Smb1HeaderBytes + 1, 2);
    return dialect == 0 || dialect == 0xFFFF ? TkxSmbDialects::Smb1Only : TkxSmbDialects::Unknown;
}

TkxSmbDialects ProbeSmbDialects(const std::string& host, std::uint16_t port,
                                std::chrono::milliseconds limit, const TkxCancelToken& cancel) {
    Connection c;
    c.Deadline = Clock::now() + limit;
    c.Cancel = &cancel;
    if (!c.Open(host, port))
        return TkxSmbDialects::Unknown;
    unsigned char type = 0;
    std::string body;
    if (port == 139) {
        // Any server answers to this name; the calling name is ours.
        std::string names =
            NetbiosEncodedName("*SMBSERVER", ' ', 0x20) + NetbiosEncodedName("ORVANE", ' ', 0x00);
        std::string request;
        request.push_back(static_cast<char>(0x81));
        request.push_back(0);
        request.push_back(static_cast<char>(names.size() >> 8));
        request.push_back(static_cast<char>(names.size() & 0xFF));
        request += names;
        if (!c.Send(request) || !c.Message(type, body) || type != 0x82)
            return TkxSmbDialects::Unknown;
    }
    if (!c.Send(SmbNegotiateRequest()) || !c.Message(type, body) || type != 0)
        return TkxSmbDialects::Unknown;
    return ParseSmbNegotiateReply(body);
}
