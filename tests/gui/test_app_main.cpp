// The main window over its project document, with scripted network services (the Samba
// searches are in smb/test_app_search_smb.cpp). Runs offscreen and again under a real X server.

#include "app/kxApplication.h"
#include "app/kxMain.h"
#include "dialogs/kxConnectAs.h"
#include "dialogs/kxTargets.h"
#include "document/kxAccounts.h"
#include "document/kxProjectDoc.h"
#include "engine/kxThreadForInfo.h"
#include "gui/kxPrivateSettings.h"
#include "gui/kxWhenModal.h"
#include "kxFakeServices.h"
#include "lang/kxLanguages.h"
#include "model/kxErrors.h"

#include <QAction>
#include <QClipboard>
#include <QDesktopServices>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QSplitter>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QtTest>

#include <memory>

namespace {

const QString Share = QStringLiteral("\\\\h\\s");

struct Window {
    std::shared_ptr<TkxFakeServices> Net = std::make_shared<TkxFakeServices>();
    std::unique_ptr<TfrmMain> W;

    explicit Window(const QStringList& args = {}) {
        W = std::make_unique<TfrmMain>(args, TfrmMain::TOptions{false, Net});
        W->show();
    }
    TfrmMain* operator->() const { return W.get(); }
    TkxProjectDoc& Doc() const { return W->Doc(); }
    TkxNode* Add(TkxNode* parent, TkxItemKind kind, const QString& address, bool matched = false) {
        TkxInfo r;
        r.SetAddress(address);
        r.SetName(address.section(u'\\', -1));
        r.SetKind(kind);
        r.SetScanned(1);
        r.SetMatched(matched ? 1 : 0);
        TkxNode* node = Doc().AddInfoNode(std::move(r), parent);
        if (matched)
            Doc().MarkHasMatch(node);
        return node;
    }
    // The window's questions answered by the test; what was asked, in order.
    QStringList Asked;
    bool Yes = false;
    void Answer(const QString& saveName, const QString& openName = {}) {
        W->AskSaveQuestion = [this] {
            Asked << QStringLiteral("question");
            return Yes;
        };
        W->AskProjectFileName = [this, saveName, openName](bool save) {
            Asked << (save ? QStringLiteral("save") : QStringLiteral("open"));
            return save ? saveName : openName;
        };
    }
    // Only the share: the fake answers for it.
    TkxNode* ShareOnly() {
        Doc().ClearTree();
        return AddTop(Doc(), ikShare, Share);
    }
    QModelIndex IndexOf(const TkxNode* node) const {
        return W->tvMain->model()->index(
            node->Row, 0, node->Parent->IsRoot() ? QModelIndex() : IndexOf(node->Parent));
    }
    void Select(const TkxNode* node) const { W->tvMain->setCurrentIndex(IndexOf(node)); }
    // As a click would: the idle handler has run since the last change.
    void Trigger(QAction* action) const {
        W->aeMainIdle();
        action->trigger();
    }
    // Actions enabled after the idle handler, by name.
    QStringList Enabled() const {
        W->aeMainIdle();
        QStringList names;
        for (QAction* a : W->findChildren<QAction*>())
            if (a->isEnabled() && a->objectName().startsWith(u"act") &&
                a->objectName() != u"actAbount")
                names << a->objectName();
        names.sort();
        return names;
    }
    // The tool-bar buttons shown, left to right; fails when they do not stand side by side.
    QStringList Bar() const {
        W->aeMainIdle();
        QCoreApplication::processEvents(); // the bar lays out its new set of buttons
        QStringList names;
        int right = -1;
        for (QToolButton* b : W->tbMain->findChildren<QToolButton*>()) {
            if (!b->isVisible())
                continue;
            names << b->objectName();
            if (right >= 0 && (b->x() < right || b->x() - right > 8))
                return {QStringLiteral("gap before ") + b->objectName()};
            right = b->x() + b->width();
        }
        return names;
    }
};

QStringList Lines(const QTextEdit* e) {
    return e->toPlainText().split(u'\n');
}

// The addresses of the tree in pre-order.
QStringList Addresses(const TkxProjectDoc& doc) {
    QStringList out;
    for (const TkxNode* n = doc.Tree().NextPreOrder(nullptr); n; n = doc.Tree().NextPreOrder(n))
        out << n->Info.AddressText();
    return out;
}

int LineCount(const QString& file) {
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? int(f.readAll().count("\r\n")) : -1;
}

// A view sees a double click only after the click that starts it.
void DoubleClick(QWidget* w, QPoint at) {
    QTest::mouseClick(w, Qt::LeftButton, {}, at);
    QTest::mouseDClick(w, Qt::LeftButton, {}, at);
}

// Stands in for the desktop's handlers: what the window asked it to open.
class TUrlRecorder : public QObject {
    Q_OBJECT
public:
    TUrlRecorder() {
        for (const char* scheme : {"file", "smb"})
            QDesktopServices::setUrlHandler(QLatin1String(scheme), this, "Open");
    }
    ~TUrlRecorder() override {
        for (const char* scheme : {"file", "smb"})
            QDesktopServices::unsetUrlHandler(QLatin1String(scheme));
    }
    QStringList Urls;
public Q_SLOTS:
    void Open(const QUrl& url) { Urls << url.toString(); }
};

} // namespace

class TestAppMain : public QObject {
    Q_OBJECT
    TkxPrivateSettings Config;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(Config.isValid());
        qunsetenv("ORVANE_KEYBOARD_LANGUAGES");
        SetupIconTheme();
    }
    void init() { QSettings(QStringLiteral("KX"), QStringLiteral("Orvane")).clear(); }
    void cleanup() {
        TkxInfoThread::WaitForAll();
        SetCurrentLanguage(LangEnglish);
        qunsetenv("ORVANE_KEYBOARD_LANGUAGES");
    }

    void firstStart() {
        Window w;
        QTRY_COMPARE(w->actRun->text(), QStringLiteral("Run"));
        const TkxNode* range = w.Doc().Tree().Root()->Children[0].get();
        QCOMPARE(w.Doc().Tree().NodeCount(), 1);
        QCOMPARE(range->Info.NameText(), QStringLiteral("127.0.0.1"));
        QCOMPARE(range->Info.AddressText(), QStringLiteral("127.0.0.1 - 127.0.0.1"));
        QVERIFY(!w.Doc().Modified());
        QCOMPARE(w->windowTitle(), QStringLiteral("Orvane - Project1 [1]"));
        QCOMPARE(w->edtTotalThreads->text(), QStringLiteral("16"));
        QCOMPARE(w->edtMasks->text(), QStringLiteral("*.*"));
        QCOMPARE(w->lvDir->headerItem()->text(5), QStringLiteral("Size"));
        QCOMPARE(w->lvThreads->model()->headerData(4, Qt::Horizontal).toString(),
                 QStringLiteral("Thread work address"));
        QCOMPARE(w->Panels[0]->text(), QStringLiteral("1"));
        // Default placement: half the screen, centred.
        const QRect screen = w->screen()->geometry();
        QCOMPARE(w->width(), screen.width() / 2);
        QCOMPARE(w->x(), screen.left() + screen.width() / 4);
        // The lists' columns share the width the lists have once the window shows.
        for (auto [list, columns] : {std::pair<QTreeView*, int>{w->lvThreads, 5}, {w->lvDir, 6}})
            QTRY_VERIFY(std::abs(list->header()->sectionSize(0) * columns -
                                 list->viewport()->width()) < columns);
        w->resize(795, w->height());
        QTRY_COMPARE(w->Panels[0]->width(), 105);
        // Glyph-only tool-bar buttons keep their caption for screen readers.
        QCOMPARE(w->sbRun->toolTip(), QStringLiteral("Run"));
        QCOMPARE(w->sbRun->accessibleDescription(), QStringLiteral("Run"));
        QCOMPARE(w->edtDepth->accessibleName(), QStringLiteral("Maximum folders depth"));
    }

    // The enabling table and the packed tool bar in every state of a search, a command's
    // error in the errors pane, and the close refused while searching.
    void enablingFollowsTheSearch() {
        Window w;
        w.Net->Blocking.insert(Share);
        QTRY_COMPARE(w->actRun->text(), QStringLiteral("Run"));
        QCOMPARE(w.Enabled(),
                 QStringList({"actAddTargets", "actAllowSmb1", "actConnectAs", "actContinue",
                              "actExit", "actNetbios", "actNew", "actOpen", "actPack", "actRAdd",
                              "actRun", "actSaveAs", "actXML"}));
        QCOMPARE(w.Bar(), QStringList({"sbNew", "sbOpen", "sbXML", "sbRAdd", "sbPack", "sbRun",
                                       "sbContinue"}));
        TkxNode* share = w.ShareOnly();
        w.Select(share);
        QCOMPARE(w.Enabled(),
                 QStringList({"actAddTargets", "actAllowSmb1", "actConnectAs", "actContinue",
                              "actExecute", "actExit", "actNetbios", "actNew", "actOpen", "actPack",
                              "actRAdd", "actRDelete", "actRescan", "actRun", "actSave",
                              "actSaveAs", "actXML"}));
        QVERIFY(w->edtMasks->isEnabled());

        w.Trigger(w->actContinue);
        QVERIFY(WaitFor([&] { return w.Net->BlockedNow() == 1; }));
        QCOMPARE(w.Enabled(), QStringList({"actExecute", "actStop"}));
        QCOMPARE(w.Bar(), QStringList({"sbExecute", "sbStop"}));
        QVERIFY(!w->edtMasks->isEnabled() && !w->sbMasks->isEnabled());
        QVERIFY(!w->sbConnectAs->isEnabled());
        QCOMPARE(w->Panels[1]->text(), QStringLiteral("Searching is working"));
        QCOMPARE(w->lvThreads->model()->rowCount(), 16);

        // A command that fails lands in the errors pane as three lines.
        QVERIFY(!w->reErrors->isVisible());
        w->actRDeleteExecute();
        QVERIFY(w->reErrors->isVisible());
        QCOMPARE(Lines(w->reErrors).mid(1),
                 QStringList({"The tree can not be changed while searching", ""}));
        QVERIFY(!Lines(w->reErrors).at(0).isEmpty());

        // Closing is refused while searching; the window's state is stored all the same.
        QVERIFY(!w->close());
        QVERIFY(!QSettings(QStringLiteral("KX"), QStringLiteral("Orvane"))
                     .value(QStringLiteral("Data0"))
                     .toString()
                     .isEmpty());

        // Stopped but still winding up: nothing that would wait for it is offered.
        w.Trigger(w->actStop);
        QCOMPARE(w.Enabled(), QStringList({"actExecute"}));
        QTRY_VERIFY(!w.Doc().IsBusy());
        QCOMPARE(w->Panels[1]->text(), QStringLiteral("User has stopped the searching"));
        QCOMPARE(w.Enabled(),
                 QStringList({"actAddTargets", "actAllowSmb1", "actConnectAs", "actContinue",
                              "actExecute", "actExit", "actNetbios", "actNew", "actOpen", "actPack",
                              "actRAdd", "actRDelete", "actRescan", "actRun", "actSave",
                              "actSaveAs", "actXML"}));
        w.Doc().SetModified(false);
    }

    void parameterEdits() {
        Window w;
        QTRY_COMPARE(w->actRun->text(), QStringLiteral("Run"));
        auto type = [&](QLineEdit* edit, const QString& text) {
            edit->setFocus();
            edit->selectAll();
            QTest::keyClicks(edit, text);
        };
        auto leave = [&](QLineEdit* edit) {
            QFocusEvent out(QEvent::FocusOut);
            QCoreApplication::sendEvent(edit, &out);
        };
        type(w->edtTotalThreads, QStringLiteral("abc"));
        QCOMPARE(w.Doc().Params().TotalThreads, 16u);
        QCOMPARE(w->edtTotalThreads->text(), QStringLiteral("abc"));
        QVERIFY(w.Doc().Modified());
        leave(w->edtTotalThreads);
        QCOMPARE(w->edtTotalThreads->text(), QStringLiteral("16"));
        type(w->edtLifeTime, QStringLiteral("4294967297"));
        QCOMPARE(w.Doc().Params().LifeTime, 1u);
        type(w->edtDepth, QStringLiteral("-1"));
        QCOMPARE(w.Doc().Params().Depth, 4294967295u);
        leave(w->edtDepth);
        QCOMPARE(w->edtDepth->text(), QStringLiteral("4294967295"));
        type(w->edtMasks, QStringLiteral("*.txt;*.doc"));
        QCOMPARE(w.Doc().Params().Masks, QStringLiteral("*.txt;*.doc"));
        w.Doc().SetModified(false);
    }

    // The connect time-out sits beside the thread count but belongs to the program: kept in
    // the settings, handed to the services, never a change of the project.
    void connectTimeoutIsASetting() {
        {
            Window w;
            QCOMPARE(w->edtConnectTimeout->text(), QStringLiteral("1000"));
            QCOMPARE(w.Net->ConnectTimeout, std::chrono::milliseconds(1000));
            w->edtConnectTimeout->setFocus();
            w->edtConnectTimeout->selectAll();
            QTest::keyClicks(w->edtConnectTimeout, QStringLiteral("2500"));
            QCOMPARE(w.Net->ConnectTimeout, std::chrono::milliseconds(2500));
            QVERIFY(!w.Doc().Modified());
            w->edtConnectTimeout->selectAll();
            QTest::keyClicks(w->edtConnectTimeout, QStringLiteral("10")); // below the least
            QCOMPARE(w.Net->ConnectTimeout, std::chrono::milliseconds(2500));
            QFocusEvent out(QEvent::FocusOut);
            QCoreApplication::sendEvent(w->edtConnectTimeout, &out);
            QCOMPARE(w->edtConnectTimeout->text(), QStringLiteral("2500"));
        }
        Window again;
        QCOMPARE(again->edtConnectTimeout->text(), QStringLiteral("2500"));
        QCOMPARE(again.Net->ConnectTimeout, std::chrono::milliseconds(2500));
    }

    // A switch changes captions and hints at once and is in force after a restart.
    // Each parameter label shows whole, in both languages, at the default size, in a narrow
    // left pane and with the errors pane open (below the rows): rows grow with their label.
    void parameterLabelsFit() {
        Window w;
        QTRY_COMPARE(w->actRun->text(), QStringLiteral("Run"));
        // Empty when every label has its wrapped height and none overlaps the one above.
        auto clipped = [&] {
            const QLabel* labels[] = {w->lblTotalThreads, w->lblConnectTimeout, w->lblDepth,
                                      w->lblLifeTime, w->lblMasks};
            int bottom = -1;
            for (const QLabel* l : labels) {
                const QRect r = l->geometry();
                if (r.height() < l->heightForWidth(r.width()) || r.top() <= bottom)
                    return QStringLiteral("%1: %2 high, %3 needed, top %4 below %5")
                        .arg(l->text())
                        .arg(r.height())
                        .arg(l->heightForWidth(r.width()))
                        .arg(r.top())
                        .arg(bottom);
                bottom = r.bottom();
            }
            if (w->reErrors->isVisible() && w->reErrors->geometry().top() <= bottom)
                return QStringLiteral("the errors pane lies over the rows");
            return QString();
        };
        // Layouts settle over a few rounds of events.
        auto fits = [&](const char* where) { QTRY_COMPARE(clipped() + where, QString(where)); };
        for (quint32 language : {LangEnglish, LangRussian}) {
            SetCurrentLanguage(language);
            w->SendApplyTexts();
            fits("default");
            const QList<int> panes = w->spl1->sizes();
            w->spl1->setSizes({1, panes.value(0) + panes.value(1) - 1});
            fits("narrow");
            try {
                w.Doc().ReadProject(QStringLiteral("/nonexistent/x.kxor"));
            } catch (...) {
                ReportApplicationError(std::current_exception());
            }
            fits("narrow with errors");
            w->spl1->setSizes(panes);
        }
        w.Doc().SetModified(false);
    }

    void languageSwitchPersists() {
        qputenv("ORVANE_KEYBOARD_LANGUAGES", "1031");
        {
            Window w;
            QTRY_COMPARE(w->actRun->text(), QStringLiteral("Run"));
            const QList<QAction*> items = w->miLang->actions();
            QCOMPARE(items.size(), 4);
            QVERIFY(items[2]->isSeparator());
            QCOMPARE(items[3]->text(), QStringLiteral("Deutsch"));
            QVERIFY(items[0]->isChecked() && !items[1]->isChecked());
            QVERIFY(w.Enabled().contains(QStringLiteral("actTranslate")));
            w->LanguageItemClick(items[1]);
            QCOMPARE(w->actRun->text(), QStringLiteral("Выполнить"));
            QCOMPARE(w->sbRun->toolTip(), QStringLiteral("Выполнить"));
            QCOMPARE(w->lblMasks->text(), QStringLiteral("Маски папок и файлов"));
            QCOMPARE(w->tvMain->accessibleName(), QStringLiteral("Результаты поиска"));
            QVERIFY(items[1]->isChecked() && !items[0]->isChecked());
            w->lvDir->header()->resizeSection(1, 123);
            QVERIFY(w->close());
        }
        qunsetenv("ORVANE_KEYBOARD_LANGUAGES");
        SetCurrentLanguage(0);
        Window again;
        QTRY_COMPARE(again->actRun->text(), QStringLiteral("Выполнить"));
        QCOMPARE(again->miLang->actions().size(), 2);
        QVERIFY(again->miLang->actions()[1]->isChecked());
        QVERIFY(!again.Enabled().contains(QStringLiteral("actTranslate")));
        QCOMPARE(again->windowTitle(), QStringLiteral("Orvane - Проект2 [1]"));
        QCOMPARE(again->lvDir->header()->sectionSize(1), 123);
        QCOMPARE(again->StartCount(), 2);
    }

    void projectFromTheCommandLine() {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("scan.kxor"));
        {
            TkxProjectDoc doc;
            doc.AddRange(QStringLiteral("a"), QStringLiteral("10.0.0.1 - 10.0.0.2"));
            doc.AddRange(QStringLiteral("b"), QStringLiteral("10.0.0.3 - 10.0.0.4"));
            doc.WriteProject(file);
        }
        Window w({file});
        QCOMPARE(w.Doc().Tree().NodeCount(), 2);
        QCOMPARE(w.Doc().ProjectFileName(), file);
        QTRY_COMPARE(w->windowTitle(), QStringLiteral("Orvane - scan [2]"));
        // A file that can not be read is an error in the pane; the window comes up all the same.
        Window broken({dir.filePath(QStringLiteral("missing.kxor"))});
        QVERIFY(broken->reErrors->isVisible());
        QCOMPARE(Lines(broken->reErrors).mid(1),
                 QStringList({"Can not open project file " + dir.filePath("missing.kxor") +
                                  ": No such file or directory",
                              ""}));
        // The parameters panel shows the document's values all the same, never blanks.
        QCOMPARE(broken->edtTotalThreads->text(), QStringLiteral("16"));
        QCOMPARE(broken->edtMasks->text(), QStringLiteral("*.*"));

        // A damaged count line: the header's values are shown, the project stays untitled so
        // that Save asks for a name, and the errors pane says why.
        const QString damaged = dir.filePath(QStringLiteral("damaged.kxor"));
        QFile f(damaged);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("3\r\n2\r\n9\r\n*.doc\r\n-5\r\n0\r\nr\r\n10.0.0.1 - 10.0.0.1\r\n\r\n\r\n\r\n\r\n"
                "0\r\n0\r\n1\r\n0\r\n");
        f.close();
        Window hurt({damaged});
        QVERIFY(hurt->reErrors->isVisible());
        QVERIFY(hurt->reErrors->toPlainText().contains("holds more after the 0 nodes"));
        QCOMPARE(hurt->edtTotalThreads->text(), QStringLiteral("3"));
        QCOMPARE(hurt->edtMasks->text(), QStringLiteral("*.doc"));
        QVERIFY(hurt.Doc().IsUntitled() && hurt.Doc().Modified());
        hurt.Answer(QString()); // Save asks for a name: cancelled, the file stays
        hurt.Trigger(hurt->actSave);
        QCOMPARE(hurt.Asked, QStringList({"save"}));
        QCOMPARE(LineCount(damaged), 16);
        hurt.Doc().SetModified(false);
    }

    // Matching nodes that are visible get the icon of their item, also in the detail list;
    // others keep -1, and a loader with nothing to do waits.
    void iconsForVisibleMatches() {
        Window w;
        w.Net->AddFolder(Share, {"f\\", "a.txt", "g\\"});
        w.Net->AddFolder(Share + "\\f", {"c.txt"});
        w.Net->AddFolder(Share + "\\g", {"x.doc"});
        TkxParams p;
        p.Masks = QStringLiteral("*.txt");
        w.Doc().SetParams(p);
        TkxNode* share = w.ShareOnly();
        w.Trigger(w->actContinue);
        QTRY_COMPARE(w.Doc().SearchState(), srFinished);
        std::map<QString, TkxNode*> byName;
        for (const auto& c : share->Children)
            byName[c->Info.NameText()] = c.get();
        TkxNode* inner = byName.at("f")->Children[0].get();
        QTRY_VERIFY(share->ImageIndex >= 0); // top level: always visible
        QCOMPARE(byName.at("a.txt")->ImageIndex, -1);
        w.Select(share);
        w->ShowDetails(share, true);
        QCOMPARE(w->lvDir->topLevelItemCount(), 2); // f and a.txt: g leads to no match
        w->tvMain->expand(w.IndexOf(share));
        QTRY_VERIFY(byName.at("a.txt")->ImageIndex >= 0);
        QTRY_VERIFY(byName.at("f")->ImageIndex >= 0);
        QCOMPARE(byName.at("g")->ImageIndex, -1);
        QCOMPARE(inner->ImageIndex, -1); // below a collapsed folder
        QVERIFY(byName.at("a.txt")->ImageIndex != byName.at("f")->ImageIndex);
        QTRY_VERIFY(!w->lvDir->topLevelItem(1)->icon(0).isNull());
        QVERIFY(w->tvMain->model()->data(w.IndexOf(share), Qt::FontRole).value<QFont>().bold());
        QVERIFY(!w->tvMain->model()
                     ->data(w.IndexOf(byName.at("g")), Qt::FontRole)
                     .value<QFont>()
                     .bold());
        QCOMPARE(w->tvMain->model()
                     ->data(w.IndexOf(byName.at("a.txt")), Qt::AccessibleDescriptionRole)
                     .toString(),
                 QStringLiteral("Matches the masks"));
        w->tvMain->expand(w.IndexOf(byName.at("f")));
        QCOMPARE(w->SelectedNode(), byName.at("f")); // expanding selects, the details stay
        QCOMPARE(w->lvDir->topLevelItemCount(), 2);
        QTRY_VERIFY(inner->ImageIndex >= 0);
        QTRY_COMPARE(w->Panels[3]->text(), QString());
        QTest::qWait(100); // the sweep that the last icons asked for
        const quint64 sweeps = w->IconLoader()->SweepCount();
        QTest::qWait(100);
        QCOMPARE(w->IconLoader()->SweepCount(), sweeps);
        w.Doc().SetModified(false);
    }

    // Rows come and go at once; changed rows are repainted together, once.
    void threadListRepaintsInBatches() {
        Window w;
        QAbstractItemModel* list = w->lvThreads->model();
        QSignalSpy changed(list, &QAbstractItemModel::dataChanged);
        TkxThreadRow row;
        w.Doc().UpdateThreadRow(1, row);
        QCOMPARE(list->rowCount(), 2);
        for (int i = 0; i < 5; ++i) {
            row.State = QString::number(i);
            w.Doc().UpdateThreadRow(i % 2, row);
        }
        QCOMPARE(changed.count(), 0);
        QCOMPARE(list->index(0, 3).data().toString(), QStringLiteral("4"));
        QVERIFY(changed.wait());
        QCOMPARE(changed.count(), 1);
        w.Doc().ClearThreadRows();
        QCOMPARE(list->rowCount(), 0);
    }

    // Pack keeps exactly the way to the match as one layout change: what the view had open
    // stays open, no row removal reaches it, the queue is empty and the progress is cleared.
    void packFromTheWindow() {
        Window w;
        TkxProjectDoc& doc = w.Doc();
        doc.ClearTree();
        TkxNode* range = doc.AddRange(QStringLiteral("r"), QStringLiteral("10.0.0.1 - 10.0.0.2"));
        TkxNode* host = w.Add(range, ikHost, QStringLiteral("\\\\10.0.0.1"));
        w.Add(range, ikHost, QStringLiteral("\\\\10.0.0.2"));
        TkxNode* share = w.Add(host, ikShare, QStringLiteral("\\\\10.0.0.1\\s"));
        TkxNode* folder = w.Add(share, ikFolder, QStringLiteral("\\\\10.0.0.1\\s\\f"));
        w.Add(share, ikFolder, QStringLiteral("\\\\10.0.0.1\\s\\g"));
        w.Add(folder, ikFile, QStringLiteral("\\\\10.0.0.1\\s\\f\\a.txt"), true);
        TkxNode* other = w.Add(folder, ikFile, QStringLiteral("\\\\10.0.0.1\\s\\f\\b.txt"));
        TkxNode* none = doc.AddRange(QStringLiteral("none"), QStringLiteral("10.0.1.1 - 10.0.1.1"));
        w.Add(none, ikHost, QStringLiteral("\\\\10.0.1.1"));
        QCOMPARE(doc.Tree().NodeCount(), 10);
        QVERIFY(doc.PendingCount() > 0);
        for (const TkxNode* n = folder; !n->IsRoot(); n = n->Parent)
            w->tvMain->expand(w.IndexOf(n));
        w->tvMain->expand(w.IndexOf(none));
        w.Select(other);
        QAbstractItemModel* shown = w->tvMain->model();
        QSignalSpy removed(shown, &QAbstractItemModel::rowsRemoved);
        QSignalSpy layouts(shown, &QAbstractItemModel::layoutChanged);
        QSignalSpy progress(&doc, &TkxProjectDoc::ProgressChanged);

        w.Trigger(w->actPack);
        QCOMPARE(Addresses(doc),
                 QStringList({"10.0.0.1 - 10.0.0.2", "\\\\10.0.0.1", "\\\\10.0.0.1\\s",
                              "\\\\10.0.0.1\\s\\f", "\\\\10.0.0.1\\s\\f\\a.txt"}));
        QCOMPARE(doc.PendingCount(), 0);
        QVERIFY(doc.Modified());
        QVERIFY(!w.Enabled().contains(QStringLiteral("actContinue")));
        QCOMPARE(removed.count(), 0);
        QCOMPARE(layouts.count(), 1);
        QCOMPARE(progress.first().first().toString(), QStringLiteral("0/10"));
        QCOMPARE(progress.last().first().toString(), QString());
        QCOMPARE(w->Panels[2]->text(), QString());
        QCOMPARE(w->Panels[0]->text(), QStringLiteral("0"));
        QVERIFY(w->tvMain->isExpanded(w.IndexOf(folder)));
        QCOMPARE(w->SelectedNode(), nullptr);
        QCOMPARE(shown->rowCount(w.IndexOf(folder)), 1);
        w->grab(); // the view lays out and paints the tree that is left

        // Nothing matches: nothing is left.
        for (TkxNode* n = doc.Tree().NextPreOrder(nullptr); n; n = doc.Tree().NextPreOrder(n))
            TkxProjectDoc::ResetRecord(&n->Info);
        w.Trigger(w->actPack);
        QVERIFY(!doc.Tree().HasNodes());
        QCOMPARE(shown->rowCount(), 0);
        doc.SetModified(false);
    }

    // Add targets... from the Tree menu: a pasted list becomes its ranges with one insertion,
    // queued after what was queued before, as the range command queues one; a wrong line
    // keeps OK disabled and adds nothing.
    void addTargetsInOneStep() {
        Window w;
        TkxProjectDoc& doc = w.Doc();
        QTRY_COMPARE(w->actAddTargets->text(), QStringLiteral("Add targets..."));
        QVERIFY(w->miRange->actions().contains(w->actAddTargets));
        QSignalSpy inserted(w->tvMain->model(), &QAbstractItemModel::rowsInserted);
        WhenModal<TdlgTargets>([](TdlgTargets* d) {
            QGuiApplication::clipboard()->setText(QStringLiteral(
                "Office=10.1.2.77/24\n!10.1.2.1 - 10.1.2.9\n# branches\n10.5.0.0/16\n"));
            d->memoTargets->paste();
            QTest::keyClick(d, Qt::Key_Return);
        });
        w.Trigger(w->actAddTargets);
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(Addresses(doc),
                 QStringList({"127.0.0.1 - 127.0.0.1", "10.1.2.0 - 10.1.2.0",
                              "10.1.2.10 - 10.1.2.255", "10.5.0.0 - 10.5.255.255"}));
        QStringList names, pending;
        for (const auto& range : doc.Tree().Root()->Children)
            names << range->Info.NameText();
        for (const TkxNode* node : doc.PendingNodes())
            pending << node->Info.AddressText();
        QCOMPARE(names, QStringList({"127.0.0.1", "Office #1 (10.1.2.0-0)",
                                     "Office #2 (10.1.2.10-255)", "10.5.0.0 (10.5.0.0-255)"}));
        QCOMPARE(pending, Addresses(doc));
        QVERIFY(doc.Modified());
        QCOMPARE(w->Panels[0]->text(), QStringLiteral("4"));

        WhenModal<TdlgTargets>([&](TdlgTargets* d) {
            d->memoTargets->setPlainText(QStringLiteral("10.9.0.0/24\n10.9.1.0/40"));
            QVERIFY(!d->sbOK->isEnabled());
            QTest::keyClick(d, Qt::Key_Return);
            QTest::mouseClick(d->sbOK, Qt::LeftButton);
        });
        w.Trigger(w->actAddTargets);
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(doc.Tree().NodeCount(), 4);
        doc.SetModified(false);
    }

    // Every branch of the save question, through New, Open, Save, Save as and the close; a
    // failed save keeps the changes and the chosen name and says why in the errors pane.
    void saveQuestionAndFileCommands() {
        QTemporaryDir dir;
        const QString one = dir.filePath(QStringLiteral("one.kxor"));
        const QString other = dir.filePath(QStringLiteral("other.kxor"));
        {
            TkxProjectDoc doc;
            doc.AddRange(QStringLiteral("o"), QStringLiteral("10.0.9.1 - 10.0.9.2"));
            doc.WriteProject(other);
        }
        Window w;
        // The box waits for Yes or No: Escape and its close box change nothing.
        bool stayed = false;
        WhenModal<QMessageBox>([&](QMessageBox* box) {
            QTest::keyClick(box, Qt::Key_Escape);
            box->close();
            stayed = box->isVisible();
            box->button(QMessageBox::No)->click();
        });
        QVERIFY(!w->AskSaveQuestion());
        QVERIFY(stayed);
        w.Answer(QString(), other);
        TkxProjectDoc& doc = w.Doc();

        // No: New goes on and the changes are gone.
        doc.AddRange(QStringLiteral("x"), QStringLiteral("10.0.0.1 - 10.0.0.1"));
        w.Trigger(w->actNew);
        QCOMPARE(w.Asked, QStringList({"question"}));
        QVERIFY(!doc.Tree().HasNodes() && !doc.Modified());
        QCOMPARE(w->windowTitle(), QStringLiteral("Orvane - Project2 [0]"));

        // Untitled, Yes, and the save dialog cancelled: New, Open and the close stop.
        doc.AddRange(QStringLiteral("x"), QStringLiteral("10.0.0.1 - 10.0.0.1"));
        w.Yes = true;
        w.Asked.clear();
        w.Trigger(w->actNew);
        w.Trigger(w->actOpen);
        QVERIFY(!w->close());
        QCOMPARE(w.Asked,
                 QStringList({"question", "save", "question", "save", "question", "save"}));
        QCOMPARE(doc.Tree().NodeCount(), 1);
        QVERIFY(doc.Modified() && doc.IsUntitled());

        // Yes with a name: saved there, then the chosen project is read with its progress.
        w.Answer(one, other);
        w.Asked.clear();
        QSignalSpy progress(&doc, &TkxProjectDoc::ProgressChanged);
        w.Trigger(w->actOpen);
        QCOMPARE(w.Asked, QStringList({"question", "save", "open"}));
        QCOMPARE(LineCount(one), 5 + 11);
        QCOMPARE(doc.ProjectFileName(), other);
        QCOMPARE(Addresses(doc), QStringList({"10.0.9.1 - 10.0.9.2"}));
        QVERIFY(!doc.Modified());
        QCOMPARE(w->windowTitle(), QStringLiteral("Orvane - other [1]"));
        QCOMPARE(progress.first().first().toString(), QStringLiteral("1/1"));
        QCOMPARE(w->Panels[2]->text(), QString());

        // Save writes to the project's own file without a question.
        doc.AddRange(QStringLiteral("y"), QStringLiteral("10.0.0.5 - 10.0.0.5"));
        w.Asked.clear();
        w.Trigger(w->actSave);
        QCOMPARE(w.Asked, QStringList());
        QCOMPARE(LineCount(other), 5 + 2 * 11);
        QVERIFY(!doc.Modified());

        // A save that fails: the new name stays, so do the changes, and the pane says why.
        const QString nowhere = dir.filePath(QStringLiteral("missing/two.kxor"));
        w.Answer(nowhere);
        doc.AddRange(QStringLiteral("z"), QStringLiteral("10.0.0.6 - 10.0.0.6"));
        w.Trigger(w->actSaveAs);
        QVERIFY(doc.Modified());
        QCOMPARE(doc.ProjectFileName(), nowhere);
        QCOMPARE(Lines(w->reErrors).mid(1),
                 QStringList({"Can not create project file " + nowhere + ": No such folder", ""}));
        QVERIFY(!QFile::exists(nowhere));
        doc.SetModified(false);
    }

    // XML writes next to the project and opens the result; Open file with (also a double click)
    // opens the node's address, and a double click beside the nodes opens nothing.
    void xmlAndOpenFileWith() {
        QTemporaryDir dir;
        TUrlRecorder desktop;
        Window w;
        w.Answer(dir.filePath(QStringLiteral("scan.kxor")));
        TkxNode* share = w.ShareOnly();
        TkxNode* file = w.Add(share, ikFile, Share + QStringLiteral("\\a b.txt"), true);
        w.Trigger(w->actSaveAs);
        w.Trigger(w->actXML);
        const QString xml = dir.filePath(QStringLiteral("scan.xml"));
        QVERIFY(QFile::exists(xml));
        QCOMPARE(desktop.Urls, QStringList({QUrl::fromLocalFile(xml).toString()}));

        w->tvMain->expand(w.IndexOf(share));
        w.Select(file);
        w->aeMainIdle();
        const QRect at = w->tvMain->visualRect(w.IndexOf(file));
        DoubleClick(w->tvMain->viewport(), at.center());
        QCOMPARE(desktop.Urls.value(1), QStringLiteral("smb://h/s/a b.txt"));
        w->tvMain->clearSelection();
        w->tvMain->setCurrentIndex(QModelIndex());
        DoubleClick(w->tvMain->viewport(),
                    QPoint(at.center().x(), w->tvMain->viewport()->height() - 2));
        w.Trigger(w->actExecute);
        QCOMPARE(desktop.Urls.size(), 2);
        w.Doc().SetModified(false);
    }

    // A project file is anyone's: a node whose address is a link, a local path or a network
    // path whose host is no host opens nothing, and the errors pane says why. Under X the
    // desktop's opener would be xdg-open: a recording one stands first on PATH.
    void craftedAddressesOpenNothing() {
        QTemporaryDir dir;
        const QString opened = dir.filePath(QStringLiteral("xdg-open.log"));
        QFile opener(dir.filePath(QStringLiteral("xdg-open")));
        QVERIFY(opener.open(QIODevice::WriteOnly));
        opener.write("#!/bin/sh\necho \"$@\" >>'" + QFile::encodeName(opened) + "'\n");
        opener.close();
        opener.setPermissions(opener.permissions() | QFileDevice::ExeOwner);
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(dir.path()) + ':' + path);
        const auto restore = qScopeGuard([&] { qputenv("PATH", path); });
        const QStringList crafted{"https://evil.example/payload?x=$(id)", "file:///etc/passwd",
                                  "/usr/bin/xterm", "\\\\a b\\share\\f"};
        const QString file = dir.filePath(QStringLiteral("crafted.kxor"));
        {
            TkxProjectDoc doc;
            for (const QString& address : crafted + QStringList{Share + "\\ok.txt"}) {
                TkxInfo r;
                r.SetAddress(address);
                r.SetKind(ikFile);
                r.SetScanned(1);
                doc.AddInfoNode(std::move(r), nullptr);
            }
            doc.WriteProject(file);
        }
        TUrlRecorder desktop;
        Window w({file});
        for (const auto& node : w.Doc().Tree().Root()->Children) {
            w.Select(node.get());
            w->aeMainIdle();
            DoubleClick(w->tvMain->viewport(),
                        w->tvMain->visualRect(w.IndexOf(node.get())).center());
        }
        QCOMPARE(desktop.Urls, QStringList({"smb://h/s/ok.txt"}));
        QTest::qWait(200); // an opener started anyway would have written by now
        QVERIFY(!QFile::exists(opened));
        const QString pane = w->reErrors->toPlainText();
        for (const QString& address : crafted)
            QVERIFY2(pane.contains(QStringLiteral("Not opened: ")) && pane.contains(address),
                     qPrintable(address));
    }

    // The File menu lists the projects opened or saved last, newest first, also after a
    // restart; one that is gone is reported and dropped.
    void recentProjects() {
        QTemporaryDir dir;
        auto name = [&](int i) { return dir.filePath(QStringLiteral("p%1.kxor").arg(i)); };
        auto shown = [](const Window& w) {
            QStringList files;
            for (QAction* item : w->miRecent)
                if (item->isVisible())
                    files << item->data().toString();
            return files;
        };
        {
            Window w;
            QVERIFY(!w->miRecentSeparator->isVisible());
            for (int i = 1; i <= 6; ++i) {
                w.Answer(name(i));
                w.Trigger(w->actSaveAs);
            }
            QCOMPARE(shown(w), QStringList({name(6), name(5), name(4), name(3), name(2)}));
            QVERIFY(w->miRecentSeparator->isVisible());
            QVERIFY(w->miRecent[0]->text().startsWith(QStringLiteral("&1 ")));
            QVERIFY(w->miRecent[0]->text().endsWith(QStringLiteral("p6.kxor")));
            w.Trigger(w->miRecent[2]); // p4: read and moved to the top
            QCOMPARE(w.Doc().ProjectFileName(), name(4));
            QCOMPARE(shown(w), QStringList({name(4), name(6), name(5), name(3), name(2)}));
        }
        QVERIFY(QFile::remove(name(5)));
        Window w;
        QCOMPARE(w->RecentProjects().size(), 5);
        w.Trigger(w->miRecent[2]);
        QCOMPARE(Lines(w->reErrors).mid(1),
                 QStringList(
                     {"Can not open project file " + name(5) + ": No such file or directory", ""}));
        QCOMPARE(shown(w), QStringList({name(4), name(6), name(3), name(2)}));
    }

    // A password still missing is asked for before a search, whose Cancel cancels the search;
    // a host's context menu opens by mouse and keyboard, for hosts only; the account in the
    // status bar in both languages. (The dialogs' effect: smb/test_app_search_smb.cpp.)
    void connectAs() {
        {
            QSettings settings(QStringLiteral("KX"), QStringLiteral("Orvane"));
            settings.setValue(QStringLiteral("ConnectAs/Mode"), QStringLiteral("user"));
            settings.setValue(QStringLiteral("ConnectAs/User"), QStringLiteral("LAN\\alice"));
        }
        Window w;
        QTRY_COMPARE(w->Panels[4]->text(), QStringLiteral("User: LAN\\alice"));
        QCOMPARE(w->Panels[4]->accessibleName(), QStringLiteral("Connected as: User: LAN\\alice"));
        QCOMPARE(w->sbConnectAs->accessibleName(), QStringLiteral("Connect as"));
        QVERIFY(w->miSearch->actions().contains(w->actConnectAs));
        TkxNode* share = w.ShareOnly();
        QString asked;
        WhenModal<TdlgConnectAs>([&](TdlgConnectAs* d) {
            asked = d->edtUser->text();
            QTest::keyClick(d, Qt::Key_Escape);
        });
        w.Trigger(w->actContinue);
        QCOMPARE(asked, QStringLiteral("LAN\\alice"));
        QCOMPARE(w.Doc().SearchState(), srNone);
        QCOMPARE(w.Net->Calls().size(), size_t(0));
        WhenModal<TdlgConnectAs>([](TdlgConnectAs* d) {
            QTest::keyClicks(d->edtPassword, QStringLiteral("pw-alice"));
            QTest::keyClick(d, Qt::Key_Return);
        });
        w.Trigger(w->actContinue);
        QVERIFY(WaitIdle(w.Doc()));
        QCOMPARE(w.Net->Calls(), std::vector<QString>{Share});
        QCOMPARE(w->Accounts->Choice().Password, QStringLiteral("pw-alice"));

        TkxNode* host = w.Add(nullptr, ikHost, QStringLiteral("\\\\10.0.0.7"));
        QWindow* window = w->windowHandle();
        auto at = [&](const TkxNode* node) {
            const QRect r = w->tvMain->visualRect(w.IndexOf(node));
            return w->tvMain->viewport()->mapTo(w.W.get(), r.center());
        };
        QTest::mouseClick(window, Qt::RightButton, {}, at(share));
        QVERIFY(!w->pmTree->isVisible());
        QTest::mouseClick(window, Qt::RightButton, {}, at(host));
        QTRY_VERIFY(w->pmTree->isVisible());
        QCOMPARE(w->SelectedNode(), host);
        QVERIFY(w->actConnectHostAs->isEnabled());
        w->pmTree->close();
        // From the keyboard, at the current node: the menu key (the event the window makes of
        // it for the focused tree) and Shift+F10.
        w.Select(host);
        w->tvMain->setFocus();
        QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint(), QPoint());
        QCoreApplication::sendEvent(w->tvMain, &menuKey);
        QTRY_VERIFY(w->pmTree->isVisible());
        w->pmTree->close();
        QTest::keyClick(w->tvMain, Qt::Key_F10, Qt::ShiftModifier);
        QVERIFY(w->pmTree->isVisible());
        w->pmTree->close();
        w.Select(share);
        QVERIFY(!w.Enabled().contains(QStringLiteral("actConnectHostAs")));

        SetCurrentLanguage(LangRussian);
        w->SendApplyTexts();
        QCOMPARE(w->Panels[4]->text(), QStringLiteral("Пользователь: LAN\\alice"));
        QCOMPARE(w->actConnectHostAs->text(), QStringLiteral("Подключаться к этому узлу как..."));
        QCOMPARE(w->sbConnectAs->accessibleName(), QStringLiteral("Подключаться как"));
        w.Doc().SetModified(false);
    }

    // A failed task stays in the errors pane after the search as three lines, its texts as
    // plain text whatever they look like, and later errors follow it.
    void failedTasksInTheErrorsPane() {
        Window w;
        const QString denied = Share + QStringLiteral("\\<b>denied</b>");
        w.Net->AddFolder(Share, {"<b>denied</b>\\", "open\\"});
        w.Net->Errors[denied] = EACCES;
        w.ShareOnly();
        QVERIFY(w->reErrors->isHidden());
        w.Trigger(w->actContinue);
        QVERIFY(WaitIdle(w.Doc()));
        QCOMPARE(w->Panels[1]->text(),
                 QStringLiteral("Searching stopped successfully (1 task failed)"));
        QCOMPARE(w->lvThreads->model()->rowCount(), 0);
        QVERIFY(w->reErrors->isVisible());
        QCOMPARE(Lines(w->reErrors).mid(1),
                 QStringList({denied + ": Thread has stopped with error (Access denied)", ""}));
        SetCurrentLanguage(LangRussian);
        w->SendApplyTexts();
        QCOMPARE(w->Panels[1]->text(), QStringLiteral("Поиск успешно завершён (ошибок: 1)"));
        ReportApplicationError(EkxError(QStringLiteral("later")));
        const QStringList lines = Lines(w->reErrors);
        QCOMPARE(lines.size(), 6);
        QCOMPARE(lines.mid(4), QStringList({"later", ""}));
        w.Doc().SetModified(false);
    }

    // Destroying the window while a manager and the icon loader are busy neither hangs nor
    // leaks (AddressSanitizer runs this too).
    void destroyWhileBusy() {
        for (int i = 0; i < 20; ++i) {
            Window w;
            w.Net->Blocking.insert(Share);
            w.Net->AddFolder(Share, {"a.txt"});
            w.ShareOnly();
            w.Trigger(w->actContinue);
            QVERIFY(WaitFor([&] { return w.Net->BlockedNow() == 1; }));
            w->tvMain->expandAll();
            if (i % 2)
                w.Trigger(w->actStop); // and gone while the stopped manager winds up
            w.Doc().SetModified(false);
        }
    }
};

int main(int argc, char** argv) {
    // Never the user's own secret store: the connect-as dialog asks it for passwords.
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    TkxApplication app(argc, argv);
    TestAppMain test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_app_main.moc"
