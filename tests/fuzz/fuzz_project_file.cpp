// libFuzzer target for the project file reader. Whatever the input, reading must end (with a
// tree or an EkxError) without crashing, and what was read must survive a write and a second
// read unchanged; the XML export of it must be well-formed.

#include "model/kxErrors.h"
#include "model/kxTree.h"
#include "storage/kxProjectFile.h"
#include "storage/kxXmlExport.h"

#include <QBuffer>
#include <QXmlStreamReader>

#include <cstdio>
#include <cstdlib>

namespace {

struct TLoaded {
    TkxTreeModel Tree;
    TkxParams Params;
};

void Read(const QByteArray& bytes, TLoaded& into) {
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    TkxProjectSink sink;
    sink.ParamsRead = [&into](const TkxParams& p) { into.Params = p; };
    sink.ClearTree = [&into] { into.Tree.Clear(); };
    sink.AddNodes = [&into](std::vector<TkxInfo>&& records, TkxNode* parent) {
        return into.Tree.AppendNodes(parent, std::move(records)).back();
    };
    try {
        ReadProjectData(buffer, sink);
    } catch (const EkxError&) {
    }
}

QByteArray Write(const TLoaded& loaded) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    WriteProjectData(buffer, loaded.Params, loaded.Tree);
    return buffer.data();
}

// A value read from a line may hold a CR that is not part of its line end; the writer turns
// it into U+FFFD. Everything else must come back exactly.
QString Written(QString text) {
    return text.replace(u'\r', QChar(QChar::ReplacementCharacter));
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    TLoaded first;
    Read(input, first);
    const QByteArray written = Write(first);

    TLoaded second;
    Read(written, second);
    if (second.Tree.NodeCount() != first.Tree.NodeCount())
        Fail("node count");
    // Numbers above the signed range are written as they are and read back as defaults.
    if (second.Params.Masks != Written(first.Params.Masks) ||
        (first.Params.TotalThreads <= 2147483647u &&
         second.Params.TotalThreads != first.Params.TotalThreads) ||
        (first.Params.Depth <= 2147483647u && second.Params.Depth != first.Params.Depth) ||
        (first.Params.LifeTime <= 2147483647u && second.Params.LifeTime != first.Params.LifeTime))
        Fail("parameters");
    for (const TkxNode *a = first.Tree.NextPreOrder(nullptr),
                       *b = second.Tree.NextPreOrder(nullptr);
         a || b; a = first.Tree.NextPreOrder(a), b = second.Tree.NextPreOrder(b)) {
        if (!a || !b || a->Level() != b->Level())
            Fail("shape");
        const TkxInfo& x = a->Info;
        const TkxInfo& y = b->Info;
        if (Written(x.NameText()) != y.NameText() || Written(x.AddressText()) != y.AddressText() ||
            Written(x.SizeRawText()) != y.SizeRawText() ||
            Written(x.CreatingText()) != y.CreatingText() ||
            Written(x.EditTimeText()) != y.EditTimeText() ||
            Written(x.LastAccessText()) != y.LastAccessText() || x.Matched != y.Matched ||
            x.HasMatch != y.HasMatch || x.Kind != y.Kind || x.Scanned != y.Scanned)
            Fail("record");
    }
    second.Params.TotalThreads = first.Params.TotalThreads;
    second.Params.Depth = first.Params.Depth;
    second.Params.LifeTime = first.Params.LifeTime;
    if (Write(second) != written)
        Fail("second write");

    QBuffer xml;
    xml.open(QIODevice::WriteOnly);
    WriteXmlData(
        xml, QStringLiteral("Project1"),
        {"File_Name", "File_Address", "Create_date", "Last_edit_date", "Last_access_date", "Size"},
        first.Tree);
    QXmlStreamReader reader(xml.data());
    while (!reader.atEnd())
        reader.readNext();
    if (reader.hasError())
        Fail("XML not well-formed");
    return 0;
}
