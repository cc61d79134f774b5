// orvane-scan's page: --help as the program prints it, and the manual page made from the same
// table, escaped for roff whatever the texts hold.

#include "cli/kxScanPage.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

namespace {

QString Scan() {
    return qEnvironmentVariable("ORVANE_BIN_DIR") + QStringLiteral("/orvane-scan");
}

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

// Texts a roff formatter would take for requests, escapes or fonts.
constexpr TkxScanOption HostileOptions[] = {
    {TkxScanOptionId::User, "--user", "", "DOMAIN\\user", TkxScanValue::Text,
     ".so /etc/passwd as a request, then a backslash \\fB here and --quiet, and caf\xc3\xa9"},
    {TkxScanOptionId::Quiet, "--quiet", "-q", "", TkxScanValue::None, "'br quoted"},
};
constexpr std::string_view NoParagraphs[] = {"-- a line that starts with a dash"};
constexpr TkxScanEntry LongCommand[] = {
    {"orvane-scan --range \"A very long name=192.0.2.1 - 192.0.2.254\" --masks \"*.doc;*.pdf\" "
     "--run --save office.kxor",
     "An example."},
};
constexpr TkxScanSection HostileSections[] = {{"Examples", NoParagraphs, LongCommand, true}};
constexpr TkxScanPage Hostile{"orvane-scan",
                              "test the renderer",
                              "[OPTION]...",
                              NoParagraphs,
                              HostileOptions,
                              HostileSections,
                              {}};

} // namespace

class TestCliPage : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // What the program prints is the page, the one-line description first, and every option
    // the parser takes is on it.
    void helpAndVersion() {
        QProcess p;
        p.start(Scan(), {QStringLiteral("--help")});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 0);
        const QString help = QString::fromUtf8(p.readAllStandardOutput());
        QCOMPARE(help, Q(ScanHelpText(ScanPage())));
        const QStringList lines = help.split(u'\n');
        QVERIFY(lines[0].startsWith(QStringLiteral("orvane-scan - search ")));
        for (const QString& line : lines)
            QVERIFY2(line.size() <= 79, qPrintable(line));
        for (const TkxScanOption& o : ScanPage().Options)
            QVERIFY2(help.contains(QStringLiteral("\n  ") + QString::fromUtf8(o.Name)) ||
                         help.contains(QStringLiteral(", ") + QString::fromUtf8(o.Name)),
                     o.Name.data());

        p.start(Scan(), {QStringLiteral("--version")});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(QString::fromUtf8(p.readAllStandardOutput())
                    .contains(QRegularExpression(QStringLiteral(
                        "^orvane-scan \\(Orvane\\) \\d+\\.\\d+\\.\\d+\\.\\d+\\n$"))));
    }

    // A long example is wrapped like a shell command: between words, never inside quotes.
    void commandsWrapOutsideQuotes() {
        const QString help = Q(ScanHelpText(Hostile));
        QVERIFY2(
            help.contains(QStringLiteral(
                "    orvane-scan --range \"A very long name=192.0.2.1 - 192.0.2.254\" --masks \\\n"
                "        \"*.doc;*.pdf\" --run --save office.kxor\n")),
            qPrintable(help));
    }

    // Requests, escapes and fonts in the texts are printed as text; options are bold with minus
    // signs; beyond ASCII by code point.
    void manPageEscapes() {
        const QString man = Q(ScanManPage(Hostile, "1.2.3.4", "2024-05-06"));
        QVERIFY(
            man.contains(QStringLiteral(".TH ORVANE-SCAN 1 \"2024-05-06\" \"Orvane 1.2.3.4\"")));
        QVERIFY(man.contains(QStringLiteral("\n\\&.so /etc/passwd as a request")));
        QVERIFY(man.contains(QStringLiteral("a backslash \\efB here and \\fB\\-\\-quiet\\fR,")));
        QVERIFY(man.contains(QStringLiteral("caf\\[u00E9]")));
        QVERIFY(man.contains(QStringLiteral("\n\\&'br quoted")));
        QVERIFY(man.contains(QStringLiteral("\\fB\\-q\\fR, \\fB\\-\\-quiet\\fR\n")));
        QVERIFY(man.contains(QStringLiteral("\\fB\\-\\-user\\fR \\fIDOMAIN\\euser\\fR\n")));
        QVERIFY(!man.contains(QStringLiteral("\n.so")));

        // The real page, as man shows it: no warning from the formatter.
        const QString groff = QStandardPaths::findExecutable(QStringLiteral("groff"));
        if (groff.isEmpty())
            QSKIP("groff is missing");
        for (const TkxScanPage* page : {&ScanPage(), &Hostile}) {
            QProcess p;
            p.start(groff, {QStringLiteral("-man"), QStringLiteral("-ww"), QStringLiteral("-z")});
            p.write(ScanManPage(*page, "1.2.3.4", "2024-05-06").c_str());
            p.closeWriteChannel();
            QVERIFY(p.waitForFinished(30000));
            QCOMPARE(p.exitCode(), 0);
            QCOMPARE(QString::fromUtf8(p.readAllStandardError()), QString());
        }
    }
};

QTEST_GUILESS_MAIN(TestCliPage)
#include "test_cli_page.moc"
