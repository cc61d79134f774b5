#include "platform/kxNetbios.h"

#include <algorithm>

namespace {

constexpr std::uint16_t TypeNbstat = 0x0021;
constexpr std::uint16_t ClassIn = 0x0001;
constexpr std::size_t HeaderBytes = 12;
constexpr std::size_t NameEntryBytes = 18; // 15 name bytes, suffix, flags
constexpr std::uint16_t FlagGroup = 0x8000;
constexpr std::uint16_t FlagDeregistering = 0x1000;
constexpr std::uint16_t FlagConflict = 0x0800;
constexpr unsigned char SuffixWorkstation = 0x00;
constexpr unsigned char SuffixServer = 0x20;

void Put16(std::string& out, std::uint16_t v) {
    out.push_back(static_cast<char>(v >> 8));
    out.push_back(static_cast<char>(v & 0xFF));
}

class Cursor {
public:
    explicit Cursor(std::string_view data) : Data(data) {}

    bool Has(std::size_t n) const { return Data.size() - Pos >= n; }
    std::uint8_t U8() { return static_cast<std::uint8_t>(Data[Pos++]); }
    std::uint16_t U16() {
        const std::uint16_t v =
            static_cast<std::uint16_t>((static_cast<unsigned char>(Data[Pos]) << 8) |
                                       static_cast<unsigned char>(Data[Pos + 1]));
        Pos += 2;
        return v;
    }
    void Skip(std::size_t n) { Pos += n; }
    std::string_view Take(std::size_t n) {
        const std::string_view s = Data.substr(Pos, n);
        Pos += n;
        return s;
    }

    // Steps over an encoded name: labels up to the empty one, or a pointer to an earlier name.
    bool SkipName() {
        std::size_t total = 0;
        for (;;) {
            if (!Has(1))
                return false;
            const std::uint8_t len = U8();
            if (len == 0)
                return true;
            if ((len & 0xC0) == 0xC0) {
                if (!Has(1))
                    return false;
                Skip(1);
                return true;
            }
            if ((len & 0xC0) != 0 || !Has(len))
                return false;
            total += len + 1u;
            if (total > 255)
                return false;
            Skip(len);
        }
    }

private:
    std::string_view Data;
    std::size_t Pos = 0;
};

bool IsNameByte(unsigned char c) {
    static constexpr std::string_view Refused = "\\/:*?\"<>|";
    return c >= 0x20 && c < 0x7F && Refused.find(static_cast<char>(c)) == std::string_view::npos;
}

// The padded 15 bytes as a computer name, or empty.
QString UsableName(std::string_view padded) {
    std::size_t end = padded.size();
    while (end > 0 && (padded[end - 1] == ' ' || padded[end - 1] == '\0'))
        --end;
    const std::string_view name = padded.substr(0, end);
    if (name.empty() || name.front() == ' ' || !std::all_of(name.begin(), name.end(), [](char c) {
            return IsNameByte(static_cast<unsigned char>(c));
        }))
        return {};
    return QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
}

} // namespace

std::string NetbiosEncodedName(std::string_view name, char pad, unsigned char suffix) {
    std::string out;
    out.reserve(34);
    out.push_back(32);
    for (std::size_t i = 0; i < 16; ++i) {
        const auto b = static_cast<unsigned char>(i < 15 ? (i < name.size() ? name[i] : pad)
                                                         : static_cast<char>(suffix));
        out.push_back(static_cast<char>('A' + (b >> 4)));
        out.push_back(static_cast<char>('A' + (b & 0x0F)));
    }
    out.push_back(0);
    return out;
}

std::string NetbiosStatusRequest(std::uint16_t id) {
    std::string out;
    out.reserve(50);
    Put16(out, id);
    Put16(out, 0x0000); // a query, not recursive, not a broadcast
    Put16(out, 1);      // one question
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, 0);
    out += NetbiosEncodedName("*", '\0', 0);
    Put16(out, TypeNbstat);
    Put16(out, ClassIn);
    return out;
}

bool ParseNetbiosStatus(std::string_view packet, TkxNetbiosStatus& out) {
    Cursor c(packet);
    if (!c.Has(HeaderBytes))
        return false;
    out.Id = c.U16();
    const std::uint16_t flags = c.U16();
    const std::uint16_t questions = c.U16();
    const std::uint16_t answers = c.U16();
    c.Skip(4);
    const bool response = (flags & 0x8000) != 0;
    const unsigned opcode = (flags >> 11) & 0x0F;
    const unsigned rcode = flags & 0x0F;
    if (!response || opcode != 0 || rcode != 0 || answers == 0 || questions > 4)
        return false;
    for (std::uint16_t q = 0; q < questions; ++q) {
        if (!c.SkipName() || !c.Has(4))
            return false;
        c.Skip(4);
    }
    if (!c.SkipName() || !c.Has(10))
        return false;
    const std::uint16_t type = c.U16();
    const std::uint16_t klass = c.U16();
    c.Skip(4); // time to live
    const std::uint16_t length = c.U16();
    if (type != TypeNbstat || klass != ClassIn || length < 1 || !c.Has(length))
        return false;
    Cursor data(c.Take(length));
    const std::uint8_t count = data.U8();
    if (!data.Has(std::size_t(count) * NameEntryBytes))
        return false;
    QString workstation, server;
    for (std::uint8_t i = 0; i < count; ++i) {
        const std::string_view padded = data.Take(15);
        const std::uint8_t suffix = data.U8();
        const std::uint16_t nameFlags = data.U16();
        if (nameFlags & (FlagGroup | FlagDeregistering | FlagConflict))
            continue;
        if (suffix == SuffixServer && server.isEmpty())
            server = UsableName(padded);
        else if (suffix == SuffixWorkstation && workstation.isEmpty())
            workstation = UsableName(padded);
    }
    out.Name = !server.isEmpty() ? server : workstation;
    return true;
}
