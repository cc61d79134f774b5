#include "storage/kxXmlExport.h"

#include "lang/kxLanguages.h"
#include "model/kxErrors.h"
#include "model/kxUtf8.h"
#include "storage/kxUtils.h"

#include <QIODevice>

#include <vector>

namespace {

constexpr qsizetype BlockBytes = 1 << 20;
constexpr int FieldCount = 6;

bool IsNameStartChar(char32_t c) {
    return (c >= u'A' && c <= u'Z') || c == u'_' || (c >= u'a' && c <= u'z') ||
           (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
           (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) ||
           (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
           (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
           (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0xEFFFF);
}

bool IsNameChar(char32_t c) {
    return IsNameStartChar(c) || c == u'-' || c == u'.' || (c >= u'0' && c <= u'9') || c == 0xB7 ||
           (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

void CheckName(const QString& name) {
    if (!IsXmlElementName(name))
        throw EkxError(QStringLiteral("'%1' is not a valid XML element name").arg(name));
}

class TXmlWriter {
public:
    explicit TXmlWriter(QIODevice& device) : Device(device) { Buffer.reserve(BlockBytes + 4096); }

    void Raw(const char* text) { Buffer.append(text); }
    void Indent(int depth) { Buffer.append(qsizetype(2 * depth), ' '); }
    void EndLine() {
        Buffer.append("\r\n", 2);
        if (Buffer.size() >= BlockBytes)
            Flush();
    }
    void Tag(const QByteArray& name, bool closing) {
        Buffer.append(closing ? "</" : "<");
        Buffer.append(name);
        Buffer.append('>');
    }
    void Element(int depth, const QByteArray& name, const QString& text) {
        Indent(depth);
        if (text.isEmpty()) {
            Buffer.append('<');
            Buffer.append(name);
            Buffer.append("/>");
        } else {
            Tag(name, false);
            Text(text);
            Tag(name, true);
        }
        EndLine();
    }

    void Flush() { WriteBuffer(Device, Buffer, QStringLiteral("XML file")); }

private:
    void Text(QStringView text) {
        const qsizetype n = text.size();
        const qsizetype old = Buffer.size();
        Buffer.resize(old + 6 * n);
        char* out = Buffer.data() + old;
        auto put = [&out](const char* s) {
            while (*s)
                *out++ = *s++;
        };
        const char16_t* s = text.utf16();
        for (qsizetype i = 0; i < n; ++i) {
            char32_t c = s[i];
            switch (c) {
            case u'&':
                put("&amp;");
                continue;
            case u'<':
                put("&lt;");
                continue;
            case u'>':
                put("&gt;");
                continue;
            case u'\t':
                put("&#9;");
                continue;
            case u'\n':
                put("&#10;");
                continue;
            case u'\r':
                put("&#13;");
                continue;
            default:
                break;
            }
            c = CodePointAt(s, n, i);
            if (c < 0x20 || QChar::isSurrogate(c) || c == 0xFFFE || c == 0xFFFF)
                c = QChar::ReplacementCharacter;
            PutUtf8(c, out);
        }
        Buffer.truncate(out - Buffer.constData());
    }

    QIODevice& Device;
    QByteArray Buffer;
};

} // namespace

QStringList XmlFieldNames() {
    QStringList names;
    for (int id :
         {txtFileName, txtFileAddress, txtCreateDate, txtLastEditDate, txtLastAccessDate, txtSize})
        names << SpacesToUnderscores(CurrentText(id));
    return names;
}

QString XmlElementNameOf(const QString& name) {
    if (IsXmlElementName(name))
        return name;
    QString out;
    out.reserve(name.size() + 1);
    const auto* s = reinterpret_cast<const char16_t*>(name.utf16());
    const qsizetype n = name.size();
    for (qsizetype i = 0; i < n; ++i) {
        char32_t c = CodePointAt(s, n, i);
        if (QChar::isSurrogate(c))
            c = u'_';
        const bool first = out.isEmpty();
        if (first && !IsNameStartChar(c) && IsNameChar(c))
            out += u'_'; // a leading digit, '-' or '.'
        if (first ? !IsNameStartChar(c) && !IsNameChar(c) : !IsNameChar(c))
            c = u'_';
        out += QString::fromUcs4(&c, 1);
    }
    return out.isEmpty() ? QStringLiteral("_") : out;
}

bool IsXmlElementName(QStringView name) {
    if (name.isEmpty())
        return false;
    bool first = true;
    const char16_t* s = name.utf16();
    const qsizetype n = name.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char32_t c = CodePointAt(s, n, i);
        if (QChar::isSurrogate(c))
            return false;
        if (!(first ? IsNameStartChar(c) : IsNameChar(c)))
            return false;
        first = false;
    }
    return true;
}

void WriteXmlData(QIODevice& device, const QString& rootName, const QStringList& fieldNames,
                  const TkxTreeModel& tree, const TkxProgress& progress) {
    CheckName(rootName);
    if (fieldNames.size() != FieldCount)
        throw EkxError(QStringLiteral("The XML export needs six value names"));
    std::vector<QByteArray> fields;
    for (const QString& name : fieldNames) {
        CheckName(name);
        fields.push_back(name.toUtf8());
    }
    const QByteArray root = rootName.toUtf8();
    const QByteArray info = QByteArrayLiteral("Info");

    TXmlWriter out(device);
    out.Raw("<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
    out.EndLine();
    if (!tree.HasNodes()) {
        out.Raw("<");
        out.Raw(root.constData());
        out.Raw("/>");
        out.EndLine();
        out.Flush();
        return;
    }
    out.Tag(root, false);
    out.EndLine();

    // Pre-order by index, without recursion: a hostile tree may nest very deep.
    const int total = tree.NodeCount();
    TkxProgressThrottle throttle(progress, total);
    struct Frame {
        const TkxNode* Parent;
        size_t Next;
        QByteArray Name; // of the element the frame's parent is written as
    };
    std::vector<Frame> stack;
    stack.push_back({tree.Root(), 0, {}});
    int done = 0;
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.Next >= top.Parent->Children.size()) {
            const int depth = int(stack.size()) - 1;
            if (depth > 0) {
                out.Indent(depth);
                out.Tag(top.Name, true);
                out.EndLine();
            }
            stack.pop_back();
            continue;
        }
        const TkxNode* node = top.Parent->Children[top.Next++].get();
        const int level = int(stack.size()) - 1;
        QByteArray name = "Level" + QByteArray::number(level);
        out.Indent(level + 1);
        out.Tag(name, false);
        out.EndLine();
        out.Indent(level + 2);
        out.Tag(info, false);
        out.EndLine();
        const TkxInfo& record = node->Info;
        out.Element(level + 3, fields[0], record.NameText());
        out.Element(level + 3, fields[1], record.AddressText());
        out.Element(level + 3, fields[2], record.CreatingText());
        out.Element(level + 3, fields[3], record.EditTimeText());
        out.Element(level + 3, fields[4], record.LastAccessText());
        out.Element(level + 3, fields[5], record.SizeText());
        out.Indent(level + 2);
        out.Tag(info, true);
        out.EndLine();
        ++done;
        throttle.Step(done);
        stack.push_back({node, 0, std::move(name)});
    }
    out.Tag(root, true);
    out.EndLine();
    out.Flush();
}

void WriteXmlExport(const QString& fileName, const QString& rootName, const TkxTreeModel& tree,
                    const TkxProgress& progress) {
    const QStringList fieldNames = XmlFieldNames();
    CheckName(rootName);
    for (const QString& name : fieldNames)
        CheckName(name);
    WriteFileSafely(fileName, QStringLiteral("XML file"), [&](QIODevice& file) {
        WriteXmlData(file, rootName, fieldNames, tree, progress);
    });
}
