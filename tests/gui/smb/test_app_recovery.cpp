// The window's recovery file against the Samba fixture: a window killed or ended by SIGTERM in
// the middle of a search is offered at the next start and finishes with the tree of a search
// that was never interrupted; a window that ends normally leaves nothing behind.
//
// The window that dies runs in a child process: this executable started with
// --window DIR MS searches 127.0.0.2 with one thread, keeps its recovery file in DIR (written
// every MS), and prints its node count on standard output as the search goes.

#include "app/kxMain.h"
#include "document/kxProjectDoc.h"
#include "document/kxRecovery.h"
#include "engine/kxThreadForInfo.h"
#include "gui/kxPrivateSettings.h"
#include "gui/kxWhenModal.h"
#include "gui/kxWindowRun.h"
#include "kxFakeServices.h"
#include "lang/kxLanguages.h"
#include "model/kxProgram.h"
#include "platform/kxTermSignals.h"
#include "storage/kxRecoveryFile.h"
#include "storage/kxUtils.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr int RecoveryMs = 300;

// The window that dies, started by posix_spawn like every program the window starts (QProcess's
// launcher would leave the thread checker taking this process for a forked child).
class TWindowChild {
public:
    TWindowChild(const QString& dir, int intervalMs) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        Out = fds[0];
        fcntl(Out, F_SETFL, O_NONBLOCK);
        TkxSpawnSetup setup({SIGPIPE, SIGTERM, SIGHUP, SIGINT});
        setup.Dup(fds[1], STDOUT_FILENO);
        const QByteArray self = QCoreApplication::applicationFilePath().toLocal8Bit(),
                         dirArg = dir.toLocal8Bit(), ms = QByteArray::number(intervalMs);
        char* argv[] = {const_cast<char*>(self.data()), const_cast<char*>("--window"),
                        const_cast<char*>(dirArg.data()), const_cast<char*>(ms.data()), nullptr};
        if (posix_spawn(&Pid, self.data(), setup.Actions(), setup.Attributes(), argv, environ))
            Pid = -1;
        close(fds[1]);
    }
    ~TWindowChild() {
        if (Pid > 0 && !Reaped) {
            ::kill(Pid, SIGKILL);
            waitpid(Pid, nullptr, 0);
        }
        if (Out >= 0)
            close(Out);
    }
    bool Started() const { return Pid > 0; }
    pid_t Pid = -1;
    QByteArray ReadAll() {
        QByteArray got;
        char buf[4096];
        for (ssize_t n; (n = read(Out, buf, sizeof buf)) > 0;)
            got.append(buf, n);
        return got;
    }
    // Its wait status, or -1 when it did not end within `ms`.
    int Wait(int ms) {
        QElapsedTimer clock;
        clock.start();
        while (!Reaped) {
            if (waitpid(Pid, &Status, WNOHANG) == Pid)
                Reaped = true;
            else if (clock.elapsed() > ms)
                return -1;
            else
                QTest::qWait(20);
        }
        return Status;
    }

private:
    int Out = -1;
    int Status = 0;
    bool Reaped = false;
};

TkxParams SearchParams(quint32 threads) {
    TkxParams p;
    p.TotalThreads = threads;
    p.Masks = QStringLiteral("*.txt");
    return p;
}

std::unique_ptr<TfrmMain> Window(const QString& recoveryDir, int intervalMs = RecoveryMs) {
    return NewWindow(recoveryDir, intervalMs);
}

void StartSearch(TfrmMain& w, quint32 threads) {
    NewSearch(w, SearchParams(threads));
    w.Doc().AddRange(QStringLiteral("Two"), QStringLiteral("127.0.0.2 - 127.0.0.2"));
    Trigger(w, w.actRun);
}

bool Finished(TfrmMain& w) {
    return WaitFor([&] { return !w.Doc().IsBusy(); }, 120000) &&
           w.Doc().SearchState() == srFinished;
}

// Every node, sorted: the order of work may differ.
QStringList Nodes(const TkxProjectDoc& doc) {
    QStringList out = Dump(doc, false);
    out.sort();
    return out;
}

QStringList RecoveryFiles(const QString& dir) {
    return QDir(dir).entryList({QStringLiteral("*.orvane-recovery*")}, QDir::Files);
}

// The node count in the directory's recovery file, 0 while there is none.
int RecoveredNodes(const QString& dir) {
    for (const QString& name : QDir(dir).entryList({QStringLiteral("*.orvane-recovery")})) {
        QFile f(QDir(dir).filePath(name));
        try {
            if (f.open(QIODevice::ReadOnly))
                return ReadRecoveryHeader(f, ProgramVersionText()).Nodes;
        } catch (...) {
        }
    }
    return 0;
}

// The child: a window searching until a signal ends it.
int WindowChild(int argc, char** argv) {
    QApplication app(argc, argv);
    auto w = Window(QString::fromLocal8Bit(argv[2]), QByteArray(argv[3]).toInt());
    TkxTermSignals ending({SIGTERM, SIGHUP});
    QObject::connect(&ending, &TkxTermSignals::Received, w.get(), &TfrmMain::EndBySignal);
    w->show();
    StartSearch(*w, 1);
    QTimer progress;
    QObject::connect(&progress, &QTimer::timeout, [&] {
        std::printf("nodes %d\n", w->Doc().Tree().NodeCount());
        std::fflush(stdout);
    });
    progress.start(50);
    const int status = app.exec();
    w.reset();
    TkxInfoThread::WaitForAll();
    return status;
}

} // namespace

class TestAppRecovery : public QObject {
    Q_OBJECT
    TkxPrivateSettings Config;
    QStringList Whole;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(Config.isValid());
        SetCurrentLanguage(LangEnglish);
        auto w = Window(QString());
        w->show();
        StartSearch(*w, 4);
        QVERIFY(Finished(*w));
        Whole = Nodes(w->Doc());
    }
    void cleanup() {
        TkxInfoThread::WaitForAll();
        SetCurrentLanguage(LangEnglish);
    }

    // Killed: the file of the last minute (here the last fraction of a second) is offered.
    // SIGTERM: the window writes it as it ends (here its minute never comes). The question
    // names the project and its node count, in the window's language.
    void endedWindowIsRecovered_data() {
        QTest::addColumn<int>("signo");
        QTest::addColumn<int>("intervalMs");
        QTest::addColumn<quint32>("language");
        QTest::newRow("SIGKILL") << int(SIGKILL) << RecoveryMs << LangEnglish;
        QTest::newRow("SIGTERM") << int(SIGTERM) << 3600000 << LangRussian;
    }
    void endedWindowIsRecovered() {
        QFETCH(int, signo);
        QFETCH(int, intervalMs);
        QFETCH(quint32, language);
        QTemporaryDir dir;
        TWindowChild child(dir.path(), intervalMs);
        QVERIFY(child.Started());
        // Far into the walk, far from its end.
        QByteArray said;
        const auto nodes = [&] {
            said += child.ReadAll();
            const QList<QByteArray> lines = said.split('\n');
            return lines.size() < 2 ? 0 : lines[lines.size() - 2].mid(6).toInt();
        };
        QTRY_VERIFY_WITH_TIMEOUT(nodes() > 2000, 60000);
        if (signo == SIGKILL)
            QTRY_VERIFY_WITH_TIMEOUT(RecoveredNodes(dir.path()) > 2000, 20000);
        ::kill(child.Pid, signo);
        const int status = child.Wait(30000);
        QVERIFY(status != -1);
        if (signo == SIGTERM) {
            // Ended as a close ends it, not by the signal.
            QVERIFY(WIFEXITED(status));
            QCOMPARE(WEXITSTATUS(status), 0);
        }
        QCOMPARE(RecoveryFiles(dir.path()).filter(QRegularExpression("recovery$")).size(), 1);

        auto w = Window(dir.path());
        QString question;
        WhenModal<QMessageBox>([&](QMessageBox* box) {
            question = box->text();
            if (const QString shots = qEnvironmentVariable("ORVANE_SCREENSHOTS"); !shots.isEmpty())
                box->grab().save(shots + QStringLiteral("/recover-question-%1.png").arg(language));
            box->button(QMessageBox::Yes)->click();
        });
        w->show();
        SetCurrentLanguage(language); // as the window's stored state would
        QTRY_VERIFY(!question.isEmpty());
        QVERIFY2(question.startsWith(language == LangRussian ? QStringLiteral("Прошлый")
                                                             : QStringLiteral("Orvane did not")),
                 qPrintable(question));
        QVERIFY2(question.contains(w->Doc().ProjectName()) &&
                     question.contains(QString::number(w->Doc().Tree().NodeCount())),
                 qPrintable(question));
        QVERIFY(w->Doc().Modified());
        QVERIFY(w->Doc().HasPendingNodes());
        QVERIFY(!w->reErrors->isVisible());
        w->Doc().SetParams(SearchParams(4)); // the rest of the walk need not take long
        Trigger(*w, w->actContinue);
        QVERIFY(Finished(*w));
        QCOMPARE(Nodes(w->Doc()), Whole);
    }

    // A normal end, a save, and a file that can not be used: reported and set aside.
    void normalEndLeavesNoFile() {
        QTemporaryDir dir;
        QFile damaged(dir.filePath(QStringLiteral("old.orvane-recovery")));
        QVERIFY(damaged.open(QIODevice::WriteOnly));
        damaged.write("Orvane recovery file\r\n1\r\n");
        damaged.close();
        auto w = Window(dir.path());
        bool asked = false;
        w->AskRecoverQuestion = [&](const TkxRecoveryInfo&) { return asked = true; };
        w->show();
        QTRY_VERIFY(w->reErrors->toPlainText().contains("can not be used"));
        QVERIFY(!asked);
        QVERIFY(QFile::exists(damaged.fileName() + ".unusable"));

        StartSearch(*w, 4);
        QVERIFY(Finished(*w));
        const QString own = w->RecoveryFile()->FileName();
        QTRY_VERIFY(QFile::exists(own)); // unsaved results
        {
            // A second window keeps a file of its own and never offers the first one's.
            auto second = Window(dir.path());
            second->AskRecoverQuestion = [&](const TkxRecoveryInfo&) { return asked = true; };
            second->show();
            QTest::qWait(100);
            QVERIFY(!asked);
            QVERIFY(second->RecoveryFile()->FileName() != own);
        }
        QVERIFY(QFile::exists(own));
        const QString project = dir.filePath(QStringLiteral("saved.kxor"));
        w->AskProjectFileName = [&](bool) { return project; };
        Trigger(*w, w->actSaveAs);
        QVERIFY(!QFile::exists(own));
        w->Doc().AddRange(QStringLiteral("More"), QStringLiteral("127.0.0.3 - 127.0.0.3"));
        QTRY_VERIFY(QFile::exists(own));
        w->AskSaveQuestion = [] { return false; };
        QVERIFY(w->close());
        w.reset();
        QCOMPARE(RecoveryFiles(dir.path()), QStringList{"old.orvane-recovery.unusable"});
        QCOMPARE(QDir(dir.path()).entryList({"*.lock"}, QDir::Files), QStringList());
    }
};

int main(int argc, char** argv) {
    if (argc == 4 && qstrcmp(argv[1], "--window") == 0)
        return WindowChild(argc, argv);
    QApplication app(argc, argv);
    TestAppRecovery test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_app_recovery.moc"
