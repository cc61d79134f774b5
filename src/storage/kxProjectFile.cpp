#include "storage/kxProjectFile.h"

#include "model/kxDecimal.h"
#include "model/kxErrors.h"
#include "model/kxUtf8.h"
#include "storage/kxUtils.h"

#include <QFile>
#include <QFileInfo>
#include <QIODevice>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace {

// Output is gathered into blocks of this size; input is read in blocks of this size.
constexpr qsizetype BlockBytes = 1 << 20;

class TBlockWriter {
public:
    explicit TBlockWriter(QIODevice& device) : Device(device) { Buffer.reserve(BlockBytes + 4096); }

    // One value as a line: CR, LF and lone surrogates become U+FFFD.
    void Text(QStringView text) {
        const qsizetype n = text.size();
        const qsizetype old = Buffer.size();
        Buffer.resize(old + 3 * n + 2);
        auto* out = reinterpret_cast<unsigned char*>(Buffer.data() + old);
        const char16_t* s = text.utf16();
        for (qsizetype i = 0; i < n; ++i) {
            char32_t c = s[i];
            if (c < 0x80) {
                if (c == u'\r' || c == u'\n')
                    c = QChar::ReplacementCharacter;
            } else {
                c = CodePointAt(s, n, i);
                if (QChar::isSurrogate(c))
                    c = QChar::ReplacementCharacter;
            }
            PutUtf8(c, out);
        }
        *out++ = '\r';
        *out++ = '\n';
        Buffer.truncate(reinterpret_cast<char*>(out) - Buffer.constData());
        FlushIfFull();
    }

    void Number(quint64 value) {
        char digits[24];
        int i = sizeof digits;
        digits[--i] = '\n';
        digits[--i] = '\r';
        do {
            digits[--i] = char('0' + value % 10);
            value /= 10;
        } while (value != 0);
        Buffer.append(digits + i, qsizetype(sizeof digits) - i);
        FlushIfFull();
    }

    void Flush() { WriteBuffer(Device, Buffer, QStringLiteral("project file")); }

private:
    void FlushIfFull() {
        if (Buffer.size() >= BlockBytes)
            Flush();
    }

    QIODevice& Device;
    QByteArray Buffer;
};

void WriteNodeRecord(TBlockWriter& out, const TkxInfo& info, int level, QStringView name,
                     quint8 hasMatch, quint8 scanned) {
    out.Number(quint64(level));
    out.Text(name);
    out.Text(info.AddressText());
    out.Text(info.SizeRawText());
    out.Text(info.CreatingText());
    out.Text(info.EditTimeText());
    out.Text(info.LastAccessText());
    out.Number(info.Matched);
    out.Number(hasMatch);
    out.Number(info.Kind);
    out.Number(scanned);
}

void WriteHeader(TBlockWriter& out, const TkxParams& params, int total) {
    out.Number(params.TotalThreads);
    out.Number(params.Depth);
    out.Number(params.LifeTime);
    out.Text(params.Masks);
    out.Number(quint64(total));
}

class ELineTooLong : public EkxError {
public:
    ELineTooLong() : EkxError(QStringLiteral("Project file line is too long")) {}
};

// Lines of the input, read in large blocks; a line ends at LF, a CR before it is dropped, and
// a last line without LF still counts.
class TLineReader {
public:
    explicit TLineReader(QIODevice& device) : Device(device) {}

    bool Next(QByteArrayView& line) {
        if (CarryInUse) {
            Carry.resize(0);
            CarryInUse = false;
        }
        for (;;) {
            if (Pos < Block.size()) {
                const char* start = Block.constData() + Pos;
                const qsizetype left = Block.size() - Pos;
                const auto* lf = static_cast<const char*>(std::memchr(start, '\n', size_t(left)));
                if (lf) {
                    const qsizetype length = lf - start;
                    Pos += length + 1;
                    if (Carry.isEmpty()) {
                        line = Trimmed(QByteArrayView(start, length));
                    } else {
                        Append(start, length);
                        CarryInUse = true;
                        line = Trimmed(QByteArrayView(Carry));
                    }
                    return true;
                }
                Append(start, left);
                Pos = Block.size();
            }
            if (AtEnd) {
                if (Carry.isEmpty())
                    return false;
                CarryInUse = true;
                line = QByteArrayView(Carry);
                return true;
            }
            Fill();
        }
    }

    // Stops at the end of the data with the message of a truncated file.
    QByteArrayView Required() {
        QByteArrayView line;
        if (!Next(line))
            throw EkxError(QString::fromLatin1(UnexpectedEndMessage));
        return line;
    }

private:
    static QByteArrayView Trimmed(QByteArrayView line) {
        if (!line.isEmpty() && line.back() == '\r')
            line.chop(1);
        return line;
    }

    void Append(const char* data, qsizetype length) {
        if (Carry.size() + length > MaxTextLineBytes)
            throw ELineTooLong();
        Carry.append(data, length);
    }

    void Fill() {
        Block.resize(BlockBytes);
        const qint64 got = Device.read(Block.data(), BlockBytes);
        if (got < 0)
            throw EkxError(
                QStringLiteral("Can not read project file: %1").arg(Device.errorString()));
        Block.resize(qsizetype(got));
        Pos = 0;
        if (got == 0)
            AtEnd = true;
    }

    QIODevice& Device;
    QByteArray Block;
    qsizetype Pos = 0;
    QByteArray Carry;
    bool CarryInUse = false;
    bool AtEnd = false;
};

QString LineText(QByteArrayView line) {
    return Utf8Text(line);
}

quint8 LowByte(QByteArrayView line) {
    return quint8(ParseProjectNumber(line).value_or(0));
}

quint32 HeaderNumber(QByteArrayView line, quint32 fallback) {
    const std::optional<qint32> v = ParseProjectNumber(line);
    return v ? quint32(*v) : fallback;
}

// Consecutive siblings are added with one insertion: in pre-order the entries of a directory
// that have no children of their own follow each other.
class TNodeBuilder {
public:
    explicit TNodeBuilder(TkxProjectSink& sink) : Sink(sink) {}

    void Add(qint32 level, TkxInfo&& info) {
        const size_t depth = ParentDepth(level);
        if (!Run.empty() && (depth != RunDepth || Run.size() >= MaxRun))
            Flush();
        if (Run.empty()) {
            if (depth >= size_t(MaxProjectDepth))
                throw EkxError(QStringLiteral("Project file nests deeper than %1 levels")
                                   .arg(MaxProjectDepth));
            RunDepth = depth;
            Path.resize(depth);
        }
        Run.push_back(std::move(info));
    }

    void Flush() {
        if (Run.empty())
            return;
        TkxNode* parent = RunDepth == 0 ? nullptr : Path[RunDepth - 1];
        std::vector<TkxInfo> run = std::move(Run);
        Run.clear();
        TkxNode* last = Sink.AddNodes(std::move(run), parent);
        Path.resize(RunDepth);
        Path.push_back(last);
    }

private:
    static constexpr size_t MaxRun = 4096;

    // FindParentForLevel: the parent is the nearest node on the path to the node added last
    // (a record still in the run counts as added) whose level is lower than `level`; none for
    // a top-level record. Yields the parent's depth + 1, 0 for none. A record in the run has
    // depth RunDepth, so a level beyond it makes the run's last record the parent.
    size_t ParentDepth(qint32 level) const {
        if (level <= 0)
            return 0;
        const size_t known = Run.empty() ? Path.size() : RunDepth + 1;
        return std::min(size_t(level), known);
    }

    TkxProjectSink& Sink;
    std::vector<TkxNode*> Path; // Path[d]: the node at depth d on the way to the last one
    std::vector<TkxInfo> Run;   // siblings not added yet, all below Path[RunDepth - 1]
    size_t RunDepth = 0;
};

} // namespace

// A plain whole number is held as a number: it prints back as the very same text (and the
// same size text), and a million nodes save a heap block each. Anything else stays a text.
void SetProjectSize(TkxInfo& info, QByteArrayView line) {
    constexpr qsizetype ExactDigits = 15;
    const qsizetype n = line.size();
    const bool plain =
        n > 0 && n <= ExactDigits && line[0] >= '0' && line[0] <= '9' && (n == 1 || line[0] != '0');
    const std::optional<qint64> value = plain ? ParseDecimal(line) : std::nullopt;
    if (value)
        info.SetSize(double(*value));
    else
        info.SetSizeText(LineText(line));
}

QString ProjectText(QStringView text) {
    // Most texts need nothing replaced: one copy instead of a code point at a time.
    const bool plain = std::none_of(text.begin(), text.end(), [](QChar c) {
        return c == u'\r' || c == u'\n' || c.isSurrogate();
    });
    if (plain)
        return text.toString();
    QString out;
    out.reserve(text.size());
    const char16_t* s = text.utf16();
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const qsizetype at = i;
        const char32_t c = CodePointAt(s, n, i);
        if (c == u'\r' || c == u'\n' || QChar::isSurrogate(c))
            out += QChar(QChar::ReplacementCharacter);
        else
            out.append(QStringView(s + at, i - at + 1));
    }
    return out;
}

std::optional<qint32> ParseProjectNumber(QByteArrayView text) {
    qsizetype i = 0;
    qsizetype n = text.size();
    while (i < n && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    while (n > i && (text[n - 1] == ' ' || text[n - 1] == '\t'))
        --n;
    const std::optional<qint64> value =
        ParseDecimal(text.sliced(i, n - i), std::numeric_limits<qint32>::min(),
                     std::numeric_limits<qint32>::max());
    if (!value)
        return std::nullopt;
    return qint32(*value);
}

void WriteProjectData(QIODevice& device, const TkxParams& params, const TkxTreeModel& tree,
                      const TkxProgress& progress) {
    TBlockWriter out(device);
    const int total = tree.NodeCount();
    WriteHeader(out, params, total);

    // Pre-order by index, so that the walk survives children being appended meanwhile (the
    // progress callback lets events run); the count written in the header is never exceeded.
    TkxProgressThrottle throttle(progress, total);
    struct Frame {
        const TkxNode* Parent;
        size_t Next;
    };
    std::vector<Frame> stack{{tree.Root(), 0}};
    int done = 0;
    while (!stack.empty() && done < total) {
        Frame& top = stack.back();
        if (top.Next >= top.Parent->Children.size()) {
            stack.pop_back();
            continue;
        }
        const TkxNode* node = top.Parent->Children[top.Next++].get();
        const int level = int(stack.size()) - 1;
        ++done;
        throttle.Step(done);
        WriteNodeRecord(out, node->Info, level, node->Info.NameText(), node->Info.HasMatch,
                        node->Info.Scanned);
        if (!node->Children.empty())
            stack.push_back({node, 0});
    }
    out.Flush();
}

TkxTreeSnapshot TkxTreeSnapshot::Take(const TkxTreeModel& tree, const TkxParams& params) {
    TkxTreeSnapshot s;
    s.Params = params;
    s.Entries.reserve(size_t(tree.NodeCount()));
    struct Frame {
        const TkxNode* Parent;
        size_t Next;
    };
    std::vector<Frame> stack{{tree.Root(), 0}};
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.Next >= top.Parent->Children.size()) {
            stack.pop_back();
            continue;
        }
        const TkxNode* node = top.Parent->Children[top.Next++].get();
        TEntry& e = s.Entries.emplace_back();
        e.Node = node;
        e.Level = qint32(stack.size()) - 1;
        e.HasMatch = node->Info.HasMatch;
        e.Scanned = node->Info.Scanned;
        // A host task renames its node when it ends.
        if (node->Info.Kind == ikHost)
            s.Names.emplace_back(s.Entries.size() - 1, node->Info.NameText());
        if (!node->Children.empty())
            stack.push_back({node, 0});
    }
    return s;
}

void WriteProjectSnapshot(QIODevice& device, const TkxTreeSnapshot& snapshot,
                          const std::atomic<bool>* cancel) {
    TBlockWriter out(device);
    WriteHeader(out, snapshot.Params, int(snapshot.Entries.size()));
    auto name = snapshot.Names.begin();
    for (size_t i = 0; i < snapshot.Entries.size(); ++i) {
        if (cancel && (i & 255) == 0 && cancel->load(std::memory_order_relaxed))
            throw EkxError(QString::fromLatin1(CancelledMessage));
        const TkxTreeSnapshot::TEntry& e = snapshot.Entries[i];
        const TkxInfo& info = e.Node->Info;
        if (name != snapshot.Names.end() && name->first == i)
            WriteNodeRecord(out, info, e.Level, (name++)->second, e.HasMatch, e.Scanned);
        else
            WriteNodeRecord(out, info, e.Level, info.NameText(), e.HasMatch, e.Scanned);
    }
    out.Flush();
}

void WriteProjectFile(const QString& fileName, const TkxParams& params, const TkxTreeModel& tree,
                      const TkxProgress& progress) {
    WriteFileSafely(fileName, QStringLiteral("project file"),
                    [&](QIODevice& file) { WriteProjectData(file, params, tree, progress); });
}

namespace {
// Odd values in a header are read leniently, but a header that is not text at all (a NUL
// byte, bytes that are not UTF-8) is no project: opened by mistake and saved again, the file
// would be replaced by an empty project.
bool IsTextLine(QByteArrayView line) {
    const auto* p = reinterpret_cast<const unsigned char*>(line.data());
    const qsizetype n = line.size();
    for (qsizetype i = 0; i < n;) {
        const unsigned char c = p[i];
        if (c == 0)
            return false;
        if (c < 0x80) {
            ++i;
            continue;
        }
        int more = 0;
        char32_t min = 0;
        if ((c & 0xE0) == 0xC0) {
            more = 1;
            min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            more = 2;
            min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            more = 3;
            min = 0x10000;
        } else {
            return false;
        }
        if (i + more >= n)
            return false;
        char32_t v = c & (0x3F >> more);
        for (int k = 1; k <= more; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
            v = (v << 6) | (p[i + k] & 0x3F);
        }
        if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF))
            return false;
        i += more + 1;
    }
    return true;
}

// Whether anything but blank lines follows; a line too long to read counts as something.
bool HasMoreLines(TLineReader& in) {
    try {
        QByteArrayView line;
        while (in.Next(line)) {
            for (const char c : line) {
                if (c != ' ' && c != '\t' && c != '\r')
                    return true;
            }
        }
    } catch (const ELineTooLong&) {
        return true;
    }
    return false;
}

class ENotProject : public EkxError {
public:
    ENotProject() : EkxError(QStringLiteral("Not a project file")) {}
};

QByteArrayView HeaderLine(TLineReader& in) {
    const QByteArrayView line = in.Required();
    if (!IsTextLine(line))
        throw ENotProject();
    return line;
}
} // namespace

void ReadProjectData(QIODevice& device, TkxProjectSink& sink) {
    TLineReader in(device);
    TkxParams params = sink.Params;
    auto reportParams = [&] {
        if (sink.ParamsRead)
            sink.ParamsRead(params);
    };
    int total = 0;
    try {
        QByteArrayView first = HeaderLine(in);
        if (first.startsWith("\xEF\xBB\xBF"))
            first = first.sliced(3);
        const TkxParams defaults = DefaultParams();
        params.TotalThreads = HeaderNumber(first, defaults.TotalThreads);
        params.Depth = HeaderNumber(HeaderLine(in), defaults.Depth);
        params.LifeTime = HeaderNumber(HeaderLine(in), defaults.LifeTime);
        params.Masks = LineText(HeaderLine(in));
        total = std::max(0, ParseProjectNumber(HeaderLine(in)).value_or(0));
    } catch (const ENotProject&) {
        throw;
    } catch (...) {
        reportParams();
        throw;
    }
    reportParams();

    if (sink.ClearTree)
        sink.ClearTree();

    sink.Announced = total;
    TkxProgressThrottle throttle(sink.Progress, total);
    TNodeBuilder builder(sink);
    try {
        for (int count = 1; count <= total; ++count) {
            throttle.Step(count);
            const qint32 level = ParseProjectNumber(in.Required()).value_or(0);
            TkxInfo info;
            info.SetName(LineText(in.Required()));
            info.SetAddress(LineText(in.Required()));
            SetProjectSize(info, in.Required());
            info.SetCreatingText(LineText(in.Required()));
            info.SetEditTimeText(LineText(in.Required()));
            info.SetLastAccessText(LineText(in.Required()));
            info.SetMatched(LowByte(in.Required()));
            info.SetHasMatch(LowByte(in.Required()));
            info.SetKind(LowByte(in.Required()));
            info.SetScanned(LowByte(in.Required()));
            builder.Add(level, std::move(info));
        }
    } catch (...) {
        // The records read completely stay in the tree.
        try {
            builder.Flush();
        } catch (...) {
            NoteSwallowed("project read clean-up");
        }
        throw;
    }
    builder.Flush();
    sink.MoreAfterNodes = HasMoreLines(in);
}

void ReadProjectFile(const QString& fileName, TkxProjectSink& sink) {
    // A FIFO or device would block or never end: only regular files are projects.
    const QFileInfo info(fileName);
    if (!info.exists())
        throw EkxError(QStringLiteral("Can not open project file %1: No such file or directory")
                           .arg(fileName));
    if (!info.isFile())
        throw EkxError(
            QStringLiteral("Can not open project file %1: Not a regular file").arg(fileName));
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        throw EkxError(
            QStringLiteral("Can not open project file %1: %2").arg(fileName, file.errorString()));
    ReadProjectData(file, sink);
}
