#pragma once

// The wire format between orvane_core and orvane-smb-helper: framed messages over a Unix
// socketpair, `u32 body length | u8 type | body`, integers little-endian. Each request is
// answered by zero or more entries and then exactly one END. Shared by both sides, so it uses
// the standard library only.

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/socket.h>

namespace kxsmb {

// END's errno for a logon the server refused (a wrong password, an unknown account), as
// opposed to EACCES for a share or folder the account may not read.
constexpr int ErrLogonFailure = EKEYREJECTED;
// END's errno for a server whose reply the client could not read at all (garbage where a
// protocol reply belongs), as opposed to EINVAL for a name the server refused or a name in a
// listing that can not be converted.
constexpr int ErrBadReply = EBADMSG;
// END's errno for a logon with the ticket alone that was not tried: no principal to log on as,
// or a server named by its address (a service ticket names the server).
constexpr int ErrNoTicket = ENOKEY;
constexpr int ErrNeedsName = EDESTADDRREQ;

// The helper finds its end of the socketpair here.
constexpr int HelperFd = 3;

// `orvane-smb-helper --spawner` forks helpers without exec, so a helper starts without loading
// its libraries again. On its control socket (also fd 3) the search process sends SpawnHelper
// and receives the answer: u8 status (0 = a helper), i32 pid, with the helper's end of a new
// socketpair and a pidfd of the helper (when the kernel has them) passed along. The search
// process kills a helper itself, then sends ReapHelper with the i32 pid; the spawner waits for
// that child and answers one byte. EOF on the control socket ends the spawner.
constexpr char SpawnHelper = 'S';
constexpr char ReapHelper = 'R';

constexpr std::size_t HeaderSize = 5;
// Far above any honest message (a name is at most a few KiB); a larger length means the
// stream is corrupt.
constexpr std::uint32_t MaxBody = 1u << 20;

// A request names its server as the records do (usually the address), which also picks the
// credentials; the optional "wire" is the name to connect to instead (the server's DNS name,
// which Kerberos needs).
enum MsgType : std::uint8_t {
    // requests
    MsgSetCredentials = 1, // str user, str domain, str password, u8 kerberos
    MsgListShares = 2,     // u16 port, str host [, str wire]
    MsgListDir = 3,        // u16 port, str url [, u8 ListFlags [, str wire]]
    MsgStat = 4,           // u16 port, str url [, str wire]
    // str host (as after the two backslashes), then the fields of MsgSetCredentials: that
    // host's own credentials, used for it instead of the default ones
    MsgSetHostCredentials = 5,
    // u8 ProtocolFlags: the protocols this helper may negotiate from now on (without it: SMB 2
    // and 3 only)
    MsgSetProtocols = 6,
    // answers
    MsgShare = 0x81,    // u32 type, str name, str comment
    MsgDirEntry = 0x82, // u32 attrs, u64 size, 3 x (i64 s, u32 ns) btime mtime atime, u64 ino, str
    MsgEnd = 0x8F,      // i32 errno (0 = success), u32 entry count
};

// Options of a folder listing. The ids of "." and ".." each cost the helper a lookup of the
// connection; ".." never gets one, "." only when the asker does not know it yet.
enum ListFlags : std::uint8_t { ListOwnIdKnown = 1 };

// Beside SMB 2 and 3 (which a server that has them still negotiates at their highest).
enum ProtocolFlags : std::uint8_t { ProtocolsSmb1 = 1 };

// Share types as the server's share enumeration gives them.
enum ShareType : std::uint32_t { ShareDisk = 0, SharePrinter = 1, ShareDevice = 2, ShareIpc = 3 };

struct TimeSpec {
    std::int64_t Sec = 0;
    std::uint32_t Nsec = 0;
};

// Appends frames to a byte buffer.
class Writer {
public:
    void Begin(MsgType type) {
        Start = Buf.size();
        Buf.append(4, '\0');
        Buf.push_back(static_cast<char>(type));
    }
    void U8(std::uint8_t v) { Buf.push_back(static_cast<char>(v)); }
    void U16(std::uint16_t v) { Le(v, 2); }
    void U32(std::uint32_t v) { Le(v, 4); }
    void U64(std::uint64_t v) { Le(v, 8); }
    void I32(std::int32_t v) { Le(static_cast<std::uint32_t>(v), 4); }
    void I64(std::int64_t v) { Le(static_cast<std::uint64_t>(v), 8); }
    void Time(const TimeSpec& t) {
        I64(t.Sec);
        U32(t.Nsec);
    }
    void Str(std::string_view s) {
        U32(static_cast<std::uint32_t>(s.size()));
        Buf.append(s.data(), s.size());
    }
    // Closes the frame begun last; false (and the frame dropped) when its body is too large.
    bool End() {
        const std::size_t body = Buf.size() - Start - HeaderSize;
        if (body > MaxBody) {
            Buf.resize(Start);
            return false;
        }
        const auto len = static_cast<std::uint32_t>(body);
        for (int i = 0; i < 4; ++i)
            Buf[Start + i] = static_cast<char>((len >> (8 * i)) & 0xFF);
        return true;
    }

    std::string Buf;

private:
    // One append per field: appended a byte at a time, fields showed in the helper's profile.
    void Le(std::uint64_t v, int bytes) {
        char b[8];
        for (int i = 0; i < bytes; ++i)
            b[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
        Buf.append(b, static_cast<std::size_t>(bytes));
    }
    std::size_t Start = 0;
};

// Reads the fields of one frame body; every read checks the bounds, and a short body leaves
// Ok() false instead of reading past the end.
class Reader {
public:
    explicit Reader(std::string_view body) : Data(body) {}

    std::uint8_t U8() { return static_cast<std::uint8_t>(Le(1)); }
    std::uint16_t U16() { return static_cast<std::uint16_t>(Le(2)); }
    std::uint32_t U32() { return static_cast<std::uint32_t>(Le(4)); }
    std::uint64_t U64() { return Le(8); }
    std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
    std::int64_t I64() { return static_cast<std::int64_t>(U64()); }
    TimeSpec Time() {
        TimeSpec t;
        t.Sec = I64();
        t.Nsec = U32();
        return t;
    }
    std::string_view Str() {
        const std::uint32_t n = U32();
        if (!Good || n > Data.size() - Pos) {
            Good = false;
            return {};
        }
        std::string_view s = Data.substr(Pos, n);
        Pos += n;
        return s;
    }
    bool Ok() const { return Good; }
    bool AtEnd() const { return Pos == Data.size(); }

private:
    std::uint64_t Le(int bytes) {
        if (!Good || Data.size() - Pos < static_cast<std::size_t>(bytes)) {
            Good = false;
            return 0;
        }
        std::uint64_t v = 0;
        for (int i = 0; i < bytes; ++i)
            v |= static_cast<std::uint64_t>(static_cast<unsigned char>(Data[Pos + i])) << (8 * i);
        Pos += bytes;
        return v;
    }
    std::string_view Data;
    std::size_t Pos = 0;
    bool Good = true;
};

// Header of the frame at the front of buf: false while fewer than HeaderSize bytes are there.
inline bool PeekHeader(std::string_view buf, std::uint32_t& bodyLen, std::uint8_t& type) {
    if (buf.size() < HeaderSize)
        return false;
    bodyLen = 0;
    for (int i = 0; i < 4; ++i)
        bodyLen |= static_cast<std::uint32_t>(static_cast<unsigned char>(buf[i])) << (8 * i);
    type = static_cast<std::uint8_t>(buf[4]);
    return true;
}

// libsmbclient percent-decodes URLs, so every byte outside the RFC 3986 unreserved set is
// encoded ("dir%41" must travel as "dir%2541").
inline std::string PercentEncode(std::string_view bytes) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                c == '~';
        if (unreserved) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0x0F]);
        }
    }
    return out;
}

// Writes all n bytes to a socket; false when the peer is gone (no SIGPIPE).
inline bool SendAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

} // namespace kxsmb
