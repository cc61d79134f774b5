// Other programs run from a threaded process: what they print and how they end, the limit,
// and that they inherit nothing but their three standard streams and leave no zombie.

#include "model/kxProgram.h"

#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

class TestModelProgram : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void runWaitsAtMostTheLimit() {
        // Another thread runs meanwhile: the run must not need a single-threaded process.
        std::thread other([] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); });
        const TkxProgramRun done =
            RunProgram(QStringLiteral("sh"),
                       {QStringLiteral("-c"), QStringLiteral("printf 'a b'; exit 3")}, 20000);
        other.join();
        QVERIFY(done.Started && done.Finished && done.NormalExit);
        QCOMPARE(done.ExitCode, 3);
        QCOMPARE(done.Output, QByteArray("a b"));

        const TkxProgramRun slow = RunProgram(QStringLiteral("sleep"), {QStringLiteral("30")}, 100);
        QVERIFY(slow.Started && !slow.Finished && !slow.NormalExit);

        const TkxProgramRun missing = RunProgram(QStringLiteral("/nonexistent/program"), {}, 1000);
        QVERIFY(!missing.Started && !missing.Finished);
    }

    void childInheritsOnlyItsStandardStreams() {
        int leaked[2];
        QCOMPARE(pipe(leaked), 0); // without close-on-exec, as a careless part of the process might
        const TkxProgramRun run = RunProgram(
            QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("ls /proc/$$/fd")}, 20000);
        close(leaked[0]);
        close(leaked[1]);
        QVERIFY(run.Finished);
        QList<QByteArray> fds = run.Output.split('\n');
        fds.removeAll(QByteArray());
        QCOMPARE(fds, (QList<QByteArray>{"0", "1", "2"}));

        // Started without waiting; the event loop collects it.
        QVERIFY(StartProgram(QStringLiteral("true"), {}));
        const auto noChildLeft = [] {
            siginfo_t info{};
            return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
        };
        QTRY_VERIFY(noChildLeft());
        QVERIFY(!StartProgram(QStringLiteral("/nonexistent/program"), {}));
    }
};

QTEST_GUILESS_MAIN(TestModelProgram)
#include "test_model_program.moc"
