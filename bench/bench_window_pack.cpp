// Pack from the window: a finished project of about 1,000,000 nodes where half the ranges found
// nothing and the others keep a few branches, read into the window with part of the tree
// expanded and a node selected, then packed. Prints the seconds and the longest stall of the
// GUI thread. Run it under xvfb-run (or offscreen).
//
//   bench_window_pack [--per-subtree]   (also times deleting the same subtrees one at a time)

#include "app/kxApplication.h"
#include "app/kxMain.h"
#include "document/kxProjectDoc.h"
#include "lang/kxLanguages.h"
#include "storage/kxProjectFile.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>

#include <cstdio>

namespace {

// 200 ranges of 10 hosts, 5 shares each, 10 folders each of 9 files: 1,012,200 nodes. In every
// other range the even hosts, their first two shares, the even folders of those and every third
// file match.
constexpr int Ranges = 200, Hosts = 10, Shares = 5, Folders = 10, Files = 9;

TkxInfo Record(const QString& name, const QString& address, TkxItemKind kind, bool match) {
    TkxInfo r;
    r.SetName(name);
    r.SetAddress(address);
    r.SetKind(kind);
    r.SetScanned(1);
    r.SetHasMatch(match ? 1 : 0);
    r.SetMatched(match && kind == ikFile ? 1 : 0);
    if (kind == ikFile)
        r.SetSize(4096);
    return r;
}

QString WriteBenchProject(const QString& file) {
    TkxTreeModel tree;
    for (int r = 0; r < Ranges; ++r) {
        const bool rangeMatch = r % 2 == 0;
        TkxNode* range = tree.AppendNode(
            nullptr, Record(QStringLiteral("R%1 (10.%1.0.1-10)").arg(r),
                            QStringLiteral("10.%1.0.1 - 10.%1.0.10").arg(r), ikRange, rangeMatch));
        for (int h = 0; h < Hosts; ++h) {
            const bool hostMatch = rangeMatch && h % 2 == 0;
            const QString hostAddress = QStringLiteral("\\\\10.%1.0.%2").arg(r).arg(h + 1);
            TkxNode* host = tree.AppendNode(range, Record(QStringLiteral("host%1-%2").arg(r).arg(h),
                                                          hostAddress, ikHost, hostMatch));
            for (int s = 0; s < Shares; ++s) {
                const bool shareMatch = hostMatch && s < 2;
                const QString shareAddress = hostAddress + QStringLiteral("\\share%1").arg(s);
                TkxNode* share = tree.AppendNode(host, Record(QStringLiteral("share%1").arg(s),
                                                              shareAddress, ikShare, shareMatch));
                for (int f = 0; f < Folders; ++f) {
                    const bool folderMatch = shareMatch && f % 2 == 0;
                    const QString folderAddress = shareAddress + QStringLiteral("\\dir%1").arg(f);
                    TkxNode* folder =
                        tree.AppendNode(share, Record(QStringLiteral("dir%1").arg(f), folderAddress,
                                                      ikFolder, folderMatch));
                    std::vector<TkxInfo> files;
                    for (int k = 0; k < Files; ++k) {
                        const QString name = QStringLiteral("file%1.doc").arg(k);
                        files.push_back(Record(name, folderAddress + u'\\' + name, ikFile,
                                               folderMatch && k % 3 == 0));
                    }
                    tree.AppendNodes(folder, std::move(files));
                }
            }
        }
    }
    WriteProjectFile(file, DefaultParams(), tree);
    return file;
}

void Serve(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

QModelIndex IndexOf(const TfrmMain& w, const TkxNode* node) {
    return w.tvMain->model()->index(
        node->Row, 0, node->Parent->IsRoot() ? QModelIndex() : IndexOf(w, node->Parent));
}

// The window as a user leaves it before packing: the first range opened down to a folder, its
// first file selected, the second range (no match) opened too.
void Prepare(TfrmMain& w, const QString& file) {
    w.Doc().ReadProject(file);
    const TkxNode* root = w.Doc().Tree().Root();
    const TkxNode* node = root->Children[0].get();
    for (int level = 0; level < 4; ++level, node = node->Children[0].get())
        w.tvMain->expand(IndexOf(w, node));
    w.tvMain->setCurrentIndex(IndexOf(w, node));
    w.tvMain->expand(IndexOf(w, root->Children[1].get()));
    w.aeMainIdle();
    Serve(300);
}

// The longest time the GUI thread went without serving a 1 ms timer during `body`.
template <class F> double LongestStallMs(F&& body) {
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0, longest = 0;
    QTimer tick;
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longest = std::max(longest, clock.elapsed() - last);
        last = clock.elapsed();
    });
    tick.start();
    body();
    longest = std::max(longest, clock.elapsed() - last);
    return double(longest);
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path())); // no stored layout
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.path()));   // the file type registered there
    TkxApplication app(argc, argv);
    SetupIconTheme();
    SetCurrentLanguage(LangEnglish);
    std::printf("platform %s\n", qPrintable(QGuiApplication::platformName()));

    QElapsedTimer t;
    t.start();
    const QString file = WriteBenchProject(dir.filePath(QStringLiteral("pack.kxor")));
    std::printf("pack: project written in %.2f s\n", double(t.elapsed()) / 1000.0);

    TfrmMain w({}, TfrmMain::TOptions{false, nullptr});
    w.show();
    w.setGeometry(0, 0, 1000, 700);
    Serve(300);
    Prepare(w, file);
    const int before = w.Doc().Tree().NodeCount();
    QStringList progress;
    QObject::connect(&w.Doc(), &TkxProjectDoc::ProgressChanged,
                     [&](const QString& text) { progress << text; });
    double seconds = 0;
    const double stall = LongestStallMs([&] {
        t.restart();
        w.actPackExecute();
        seconds = double(t.elapsed()) / 1000.0;
    });
    std::printf("pack: %d nodes -> %d in %.2f s (target < 2 s); progress shown %lld times, "
                "last '%s'; longest timer gap %.0f ms; pending %d\n",
                before, w.Doc().Tree().NodeCount(), seconds, qlonglong(progress.size() - 1),
                qPrintable(progress.value(progress.size() - 2)), stall, w.Doc().PendingCount());

    if (QCoreApplication::arguments().contains(QStringLiteral("--per-subtree"))) {
        Prepare(w, file);
        std::vector<TkxNode*> doomed;
        for (TkxNode* n = w.Doc().Tree().NextPreOrder(nullptr); n;) {
            if (n->Info.HasMatch == 0) {
                doomed.push_back(n);
                n = w.Doc().Tree().NextVisible(n, [](const TkxNode*) { return false; });
            } else {
                n = w.Doc().Tree().NextPreOrder(n);
            }
        }
        t.restart();
        for (auto it = doomed.rbegin(); it != doomed.rend(); ++it)
            w.Doc().DeleteNode(*it);
        std::printf("pack: the same %zu subtrees deleted one at a time in %.2f s\n", doomed.size(),
                    double(t.elapsed()) / 1000.0);
    }
    w.Doc().SetModified(false);
    return 0;
}
