#include "storage/kxUtils.h"

#include "model/kxDelimited.h"
#include "model/kxErrors.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

QString TextWithDetail(const QString& text, const QString& detail) {
    if (detail.isEmpty())
        return text;
    return QStringLiteral("%1 (%2)").arg(text, detail);
}

void WriteTextLine(QIODevice& device, const QString& text) {
    QByteArray bytes;
    if (text.contains(u'\n')) {
        QString oneLine = text;
        oneLine.replace(u'\n', QChar(QChar::ReplacementCharacter));
        bytes = oneLine.toUtf8();
    } else {
        bytes = text.toUtf8();
    }
    bytes.append("\r\n", 2);
    if (!device.isWritable())
        throw EkxError(QStringLiteral("Can not write text line: %1").arg(device.errorString()));
    qint64 done = 0;
    while (done < bytes.size()) {
        const qint64 written = device.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0)
            throw EkxError(QStringLiteral("Can not write text line: %1").arg(device.errorString()));
        done += written;
    }
}

QString ReadTextLine(QIODevice& device) {
    if (!device.isReadable())
        throw EkxError(QStringLiteral("Can not read text line: %1").arg(device.errorString()));
    QByteArray line;
    char chunk[8192];
    for (;;) {
        const qint64 got = device.readLine(chunk, sizeof chunk);
        if (got < 0) {
            if (device.atEnd())
                break;
            throw EkxError(QStringLiteral("Can not read text line: %1").arg(device.errorString()));
        }
        if (got == 0)
            break;
        line.append(chunk, got);
        if (chunk[got - 1] == '\n')
            break;
        if (line.size() > MaxTextLineBytes)
            throw EkxError(QStringLiteral("Text line is too long"));
    }
    if (line.endsWith('\n')) {
        line.chop(1);
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return QString::fromUtf8(line);
}

QString ReDelimit(const QString& text, QChar from, QChar to) {
    return JoinDelimited(SplitDelimited(text, from), to);
}

QString SpacesToUnderscores(const QString& text) {
    return ReDelimit(text, u' ', u'_');
}

namespace {

const char VersionSection[] = ".orvane_version";
const char ElfMagic[4] = {0x7f, 'E', 'L', 'F'};
const char VersionMagic[8] = {'O', 'R', 'V', 'V', 'E', 'R', '0', '1'};
constexpr quint64 StampSize = sizeof VersionMagic + 4 * sizeof(quint16);

// Hostile headers may announce anything; these bound what is read into memory.
constexpr quint64 MaxSections = 1 << 20;
constexpr quint64 MaxNameTable = 16 * 1024 * 1024;

[[noreturn]] void FailVersion(const QString& reason, const QString& fileName) {
    throw EkxError(QStringLiteral("Unhandled error <%1> with GetFileVersionInfoSize for <%2>")
                       .arg(reason, fileName));
}

QString SystemMessage(int error) {
    return QString::fromStdString(std::generic_category().message(error));
}

struct TNoVersion {};

class TElfFile {
public:
    TElfFile(int fd, quint64 size) : Fd(fd), Size(size) {}

    // False when the range lies outside the file; an I/O error is thrown as its errno.
    bool Read(quint64 offset, quint64 length, QByteArray& out) const {
        if (offset > Size || length > Size - offset)
            return false;
        out.resize(qsizetype(length));
        quint64 done = 0;
        while (done < length) {
            const ssize_t got = ::pread(Fd, out.data() + done, length - done, off_t(offset + done));
            if (got < 0) {
                if (errno == EINTR)
                    continue;
                throw std::system_error(errno, std::generic_category());
            }
            if (got == 0)
                return false; // shrank while being read
            done += quint64(got);
        }
        return true;
    }

    quint64 FileSize() const { return Size; }

private:
    int Fd;
    quint64 Size;
};

class TElfFields {
public:
    explicit TElfFields(bool bigEndian) : BigEndian(bigEndian) {}

    quint64 Get(const QByteArray& data, quint64 offset, int bytes) const {
        quint64 value = 0;
        for (int i = 0; i < bytes; ++i) {
            const quint64 byte = quint8(data[qsizetype(offset) + (BigEndian ? i : bytes - 1 - i)]);
            value = (value << 8) | byte;
        }
        return value;
    }

private:
    bool BigEndian;
};

TkxFileVersion ReadVersionStamp(const TElfFile& file) {
    QByteArray header;
    if (!file.Read(0, 52, header) || std::memcmp(header.constData(), ElfMagic, 4) != 0)
        throw TNoVersion{};
    const int elfClass = header[4];
    const int encoding = header[5];
    if ((elfClass != 1 && elfClass != 2) || (encoding != 1 && encoding != 2))
        throw TNoVersion{};
    const bool is64 = elfClass == 2;
    if (is64 && !file.Read(0, 64, header))
        throw TNoVersion{};
    const TElfFields f(encoding == 2);

    // Offsets of the header and section header fields for the two classes.
    const quint64 shoff = is64 ? f.Get(header, 0x28, 8) : f.Get(header, 0x20, 4);
    const quint64 shentsize = f.Get(header, is64 ? 0x3A : 0x2E, 2);
    quint64 shnum = f.Get(header, is64 ? 0x3C : 0x30, 2);
    quint64 shstrndx = f.Get(header, is64 ? 0x3E : 0x32, 2);
    const quint64 minEntry = is64 ? 0x40 : 0x28;
    const int word = is64 ? 8 : 4;
    const quint64 offName = 0, offType = 4;
    const quint64 offOffset = is64 ? 0x18 : 0x10;
    const quint64 offSize = is64 ? 0x20 : 0x14;
    const quint64 offLink = is64 ? 0x28 : 0x18;
    if (shoff == 0 || shentsize < minEntry)
        throw TNoVersion{};

    // Many sections: the real count and name-table index live in section 0.
    if (shnum == 0 || shstrndx == 0xFFFF) {
        QByteArray first;
        if (!file.Read(shoff, minEntry, first))
            throw TNoVersion{};
        if (shnum == 0)
            shnum = f.Get(first, offSize, word);
        if (shstrndx == 0xFFFF)
            shstrndx = f.Get(first, offLink, 4);
    }
    if (shnum == 0 || shnum > MaxSections || shstrndx >= shnum)
        throw TNoVersion{};
    if (shoff > file.FileSize() || shnum > (file.FileSize() - shoff) / shentsize)
        throw TNoVersion{};
    QByteArray table;
    if (!file.Read(shoff, shnum * shentsize, table))
        throw TNoVersion{};

    const quint64 namesAt = shstrndx * shentsize;
    const quint64 namesSize = f.Get(table, namesAt + offSize, word);
    if (namesSize > MaxNameTable)
        throw TNoVersion{};
    QByteArray names;
    if (!file.Read(f.Get(table, namesAt + offOffset, word), namesSize, names))
        throw TNoVersion{};

    for (quint64 i = 0; i < shnum; ++i) {
        const quint64 at = i * shentsize;
        const quint64 name = f.Get(table, at + offName, 4);
        if (name >= namesSize || namesSize - name < sizeof VersionSection ||
            std::memcmp(names.constData() + name, VersionSection, sizeof VersionSection) != 0)
            continue;
        constexpr quint64 NoBits = 8;
        if (f.Get(table, at + offType, 4) == NoBits || f.Get(table, at + offSize, word) < StampSize)
            throw TNoVersion{};
        QByteArray stamp;
        if (!file.Read(f.Get(table, at + offOffset, word), StampSize, stamp) ||
            std::memcmp(stamp.constData(), VersionMagic, sizeof VersionMagic) != 0)
            throw TNoVersion{};
        const quint64 parts = sizeof VersionMagic;
        return TkxFileVersion{quint16(f.Get(stamp, parts, 2)), quint16(f.Get(stamp, parts + 2, 2)),
                              quint16(f.Get(stamp, parts + 4, 2)),
                              quint16(f.Get(stamp, parts + 6, 2))};
    }
    throw TNoVersion{};
}

class TFileDescriptor {
public:
    explicit TFileDescriptor(int fd) : Fd(fd) {}
    ~TFileDescriptor() {
        if (Fd >= 0)
            ::close(Fd);
    }
    TFileDescriptor(const TFileDescriptor&) = delete;
    TFileDescriptor& operator=(const TFileDescriptor&) = delete;
    int Get() const { return Fd; }

private:
    int Fd;
};

} // namespace

TkxFileVersion GetFileVersion(const QString& fileName) {
    const QString noVersion = QStringLiteral("The file has no version information");
    if (fileName.isEmpty())
        FailVersion(SystemMessage(ENOENT), fileName);
    // Non-blocking, so that a FIFO does not wait here for a writer.
    const TFileDescriptor fd(
        ::open(QFile::encodeName(fileName).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.Get() < 0)
        FailVersion(SystemMessage(errno), fileName);
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0)
        FailVersion(SystemMessage(errno), fileName);
    if (S_ISDIR(info.st_mode))
        FailVersion(SystemMessage(EISDIR), fileName);
    if (!S_ISREG(info.st_mode))
        FailVersion(noVersion, fileName);
    try {
        return ReadVersionStamp(TElfFile(fd.Get(), quint64(info.st_size)));
    } catch (const TNoVersion&) {
        FailVersion(noVersion, fileName);
    } catch (const std::system_error& e) {
        FailVersion(SystemMessage(e.code().value()), fileName);
    }
}

QString ProgramVersionText() {
    const QString path = QCoreApplication::instance() ? QCoreApplication::applicationFilePath()
                                                      : QStringLiteral("/proc/self/exe");
    const TkxFileVersion v = GetFileVersion(path);
    return QStringLiteral("%1.%2.%3.%4").arg(v.Major).arg(v.Minor).arg(v.Release).arg(v.Build);
}

void CheckWriteTarget(const QString& fileName, const QString& what) {
    auto refuse = [&](const QString& reason) {
        throw EkxError(QStringLiteral("Can not create %1 %2: %3").arg(what, fileName, reason));
    };
    if (fileName.isEmpty())
        refuse(QStringLiteral("No file name"));
    const QByteArray path = QFile::encodeName(fileName);
    struct stat st {};
    if (::stat(path.constData(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            refuse(QStringLiteral("Not a regular file"));
    } else if (errno != ENOENT) {
        refuse(QString::fromLocal8Bit(strerrordesc_np(errno)));
    }
    // The finished file is made beside the target (the one a link leads to) and renamed.
    const QFileInfo target(QFileInfo(fileName).isSymLink() ? QFileInfo(fileName).symLinkTarget()
                                                           : fileName);
    const QFileInfo folder(target.absolutePath());
    if (!folder.isDir())
        refuse(QStringLiteral("No such folder"));
    if (::access(QFile::encodeName(folder.absoluteFilePath()).constData(), W_OK | X_OK) != 0)
        refuse(QStringLiteral("Folder not writable"));
}

void WriteFileSafely(const QString& fileName, const QString& what,
                     const std::function<void(QIODevice&)>& write) {
    CheckWriteTarget(fileName, what);
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        throw EkxError(
            QStringLiteral("Can not create %1 %2: %3").arg(what, fileName, file.errorString()));
    try {
        write(file);
    } catch (...) {
        file.cancelWriting();
        throw;
    }
    if (!file.commit())
        throw EkxError(
            QStringLiteral("Can not write %1 %2: %3").arg(what, fileName, file.errorString()));
}

namespace {
// The file a writer would replace: an existing one by its device and inode, a new one by the
// canonical path of its folder and its name.
struct TWriteTarget {
    bool Exists = false;
    dev_t Device = 0;
    ino_t Inode = 0;
    QString Path;
};

TWriteTarget WriteTargetOf(const QString& fileName) {
    TWriteTarget t;
    struct stat st {};
    if (::stat(QFile::encodeName(fileName).constData(), &st) == 0) {
        t.Exists = true;
        t.Device = st.st_dev;
        t.Inode = st.st_ino;
        return t;
    }
    QFileInfo info(fileName);
    // A link that leads nowhere yet is written where it leads.
    for (int hops = 0; info.isSymLink() && hops < 40; ++hops)
        info.setFile(info.symLinkTarget());
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    t.Path = (folder.isEmpty() ? info.absolutePath() : folder) + u'/' + info.fileName();
    return t;
}
} // namespace

bool SameWriteTarget(const QString& a, const QString& b) {
    const TWriteTarget x = WriteTargetOf(a), y = WriteTargetOf(b);
    if (x.Exists != y.Exists)
        return false;
    return x.Exists ? x.Device == y.Device && x.Inode == y.Inode : x.Path == y.Path;
}

void WriteBuffer(QIODevice& device, QByteArray& buffer, const QString& what) {
    qsizetype done = 0;
    while (done < buffer.size()) {
        const qint64 written = device.write(buffer.constData() + done, buffer.size() - done);
        if (written <= 0)
            throw EkxError(QStringLiteral("Can not write %1: %2").arg(what, device.errorString()));
        done += qsizetype(written);
    }
    buffer.resize(0);
}
