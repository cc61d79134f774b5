#include "model/kxMasks.h"

#include <QRandomGenerator>
#include <QtTest>

#include <map>
#include <optional>

namespace {

QString MaskError(const QByteArray& mask) {
    try {
        TMask compiled(mask);
        return {};
    } catch (const EMaskException& e) {
        return e.message();
    }
}

QString ListError(const QString& name, const QStringList& masks) {
    try {
        NameMatchesMasks(name, masks);
        return {};
    } catch (const EMaskException& e) {
        return e.message();
    }
}

// A plain dynamic-programming matcher for masks made of stars, '?' and literals only, to
// check the backtracking matcher against.
class ReferenceMatcher {
public:
    ReferenceMatcher(const QByteArray& mask, const QByteArray& name) : Name(AsciiUpper(name)) {
        bool star = false;
        for (char c : mask) {
            if (c == '*')
                star = true;
            else if (c == '?' && star)
                continue;
            else {
                Tokens.push_back({star, c == '?', AsciiUpper(QByteArray(1, c))[0]});
                star = false;
            }
        }
        Tokens.push_back({star, false, 0, true});
    }
    bool Matches() { return At(0, 0); }

    static QByteArray AsciiUpper(QByteArray s) {
        for (char& c : s) {
            if (c >= 'a' && c <= 'z')
                c = char(c - 'a' + 'A');
        }
        return s;
    }

private:
    struct Token {
        bool Star;
        bool Any;
        char Literal;
        bool End = false;
    };
    bool At(size_t t, qsizetype p) {
        const auto key = std::make_pair(t, p);
        if (auto it = Memo.find(key); it != Memo.end())
            return it->second;
        bool result = false;
        const Token& token = Tokens[t];
        for (qsizetype q = p; q <= Name.size() && !result; ++q) {
            if (token.End)
                result = q == Name.size();
            else if (q < Name.size() && (token.Any || Name[q] == token.Literal))
                result = At(t + 1, q + 1);
            if (!token.Star)
                break;
        }
        Memo[key] = result;
        return result;
    }
    QByteArray Name;
    std::vector<Token> Tokens;
    std::map<std::pair<size_t, qsizetype>, bool> Memo;
};

} // namespace

class TestModelMasks : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void listTest_data() {
        QTest::addColumn<QString>("mask");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("expected");
        QTest::newRow("star, no dot") << "*"
                                      << "README" << true;
        QTest::newRow("star dot star, no dot") << "*.*"
                                               << "README" << true;
        QTest::newRow("extension any case") << "*.txt"
                                            << "notes.TXT" << true;
        QTest::newRow("extension must end") << "*.txt"
                                            << "notes.txt.bak" << false;
        QTest::newRow("no dot gets .*") << "readme"
                                        << "ReadMe" << true;
        QTest::newRow("no dot, with extension") << "readme"
                                                << "readme.txt" << true;
        QTest::newRow("no dot, two dots") << "readme"
                                          << "README.first.md" << true;
        QTest::newRow("no dot, longer") << "readme"
                                        << "readme2.txt" << false;
        QTest::newRow("any char") << "a?c"
                                  << "abc" << true;
        QTest::newRow("any char, extension") << "a?c"
                                             << "a1c.doc" << true;
        QTest::newRow("any char needs one") << "a?c"
                                            << "ac" << false;
        QTest::newRow("set range") << "[a-c]*"
                                   << "beta" << true;
        QTest::newRow("set range, upper") << "[a-c]*"
                                          << "Cat" << true;
        QTest::newRow("set range, outside") << "[a-c]*"
                                            << "delta" << false;
        QTest::newRow("negated set") << "[!a]*"
                                     << "beta" << true;
        QTest::newRow("negated set, member") << "[!a]*"
                                             << "alpha" << false;
        QTest::newRow("reversed range keeps first") << "[c-a]x"
                                                    << "cx" << true;
        QTest::newRow("reversed range, extension") << "[c-a]x"
                                                   << "cx.txt" << true;
        QTest::newRow("reversed range adds nothing") << "[c-a]x"
                                                     << "ax" << false;
        QTest::newRow("reversed range, middle") << "[c-a]x"
                                                << "bx" << false;
        QTest::newRow("dash before bracket") << "[a-]x"
                                             << "ax" << true;
        QTest::newRow("dash before bracket adds nothing") << "[a-]x"
                                                          << "-x" << false;
        QTest::newRow("question mark is one byte")
            << "?.txt" << QString::fromUtf8("ы.txt") << false;
        QTest::newRow("two bytes") << "??.txt" << QString::fromUtf8("ы.txt") << true;
        QTest::newRow("star over cyrillic") << "*.txt" << QString::fromUtf8("ы.txt") << true;
        QTest::newRow("cyrillic upper-cased")
            << QString::fromUtf8("отчёт*") << QString::fromUtf8("ОТЧЁТ за год.doc") << true;
        QTest::newRow("empty mask, dot name") << ""
                                              << ".profile" << true;
        QTest::newRow("empty mask, plain name") << ""
                                                << "profile" << false;
        QTest::newRow("empty name") << "*"
                                    << "" << true;
        QTest::newRow("star question") << "*?"
                                       << "x" << true;
        QTest::newRow("star questions skip") << "*??x.doc"
                                             << "x.doc" << true;
        QTest::newRow("blank inside") << "my *.doc"
                                      << "my notes.doc" << true;
        QTest::newRow("lone surrogate") << "*.txt" << QString(QChar(0xD800)) + ".txt" << true;
    }
    void listTest() {
        QFETCH(QString, mask);
        QFETCH(QString, name);
        QFETCH(bool, expected);
        QCOMPARE(NameMatchesMasks(name, {mask}), expected);
    }

    void listFirstMatchWins() {
        const QStringList masks{"*.txt", "[abc"};
        QVERIFY(NameMatchesMasks(QStringLiteral("a.txt"), masks));
        QCOMPARE(ListError(QStringLiteral("a.doc"), masks), "'[ABC.*' is an invalid mask at (7)");
        QCOMPARE(ListError(QStringLiteral("other"), masks), "'[ABC.*' is an invalid mask at (7)");
        QVERIFY(!NameMatchesMasks(QStringLiteral("a.txt"), {}));
        QVERIFY(NameMatchesMasks(QStringLiteral("b.doc"), {"*.txt", "", "*.doc"}));
    }

    void matchesMask_data() {
        QTest::addColumn<QByteArray>("mask");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<bool>("expected");
        QTest::newRow("empty both") << QByteArray() << QByteArray() << true;
        QTest::newRow("empty mask") << QByteArray() << QByteArray("a") << false;
        QTest::newRow("star empty") << QByteArray("*") << QByteArray() << true;
        QTest::newRow("any empty") << QByteArray("?") << QByteArray() << false;
        QTest::newRow("star question empty") << QByteArray("*?") << QByteArray() << true;
        QTest::newRow("stars in a row") << QByteArray("a***b") << QByteArray("axxb") << true;
        QTest::newRow("backtrack") << QByteArray("*ab*ab") << QByteArray("aabxabab") << true;
        QTest::newRow("backtrack fails")
            << QByteArray("*ab*abc") << QByteArray("aabxabab") << false;
        QTest::newRow("only letters ascii-upper")
            << QByteArray("\xd1\x8b") << QByteArray("\xd0\xab") << false;
        QTest::newRow("invalid utf-8") << QByteArray("??") << QByteArray("\xff\xfe") << true;
        QTest::newRow("high byte set") << QByteArray("[\xfe-\xff]*") << QByteArray("\xff") << true;
        QTest::newRow("embedded nul") << QByteArray("a?b") << QByteArray("a\0b", 3) << true;
        QTest::newRow("lower in set") << QByteArray("[x]") << QByteArray("X") << true;
        QTest::newRow("range after range") << QByteArray("[c-a-e]") << QByteArray("d") << true;
        QTest::newRow("brackets literal") << QByteArray("a]") << QByteArray("A]") << true;
    }
    void matchesMask() {
        QFETCH(QByteArray, mask);
        QFETCH(QByteArray, name);
        QFETCH(bool, expected);
        QCOMPARE(MatchesMask(name, mask), expected);
    }

    void invalidMasks_data() {
        QTest::addColumn<QByteArray>("mask");
        QTest::addColumn<int>("position");
        QTest::newRow("unclosed") << QByteArray("[abc") << 5;
        QTest::newRow("empty set") << QByteArray("[]") << 2;
        QTest::newRow("empty negated set") << QByteArray("[!]") << 3;
        QTest::newRow("dash first") << QByteArray("[-a]") << 2;
        QTest::newRow("dash after negation") << QByteArray("[!-a]") << 3;
        QTest::newRow("dash at end") << QByteArray("[a-") << 4;
        QTest::newRow("bracket at end") << QByteArray("x[") << 3;
        QTest::newRow("31 stars with trailing") << QByteArray("*a").repeated(30) + "*" << 62;
        QTest::newRow("31 star groups") << QByteArray("*ab").repeated(31) << 92;
        QTest::newRow("set error wins") << QByteArray("*a").repeated(31) + "[" << 64;
        QTest::newRow("long unclosed") << "[" + QByteArray(500, 'x') << 502;
    }
    void invalidMasks() {
        QFETCH(QByteArray, mask);
        QFETCH(int, position);
        QCOMPARE(MaskError(mask), QStringLiteral("'%1' is an invalid mask at (%2)")
                                      .arg(QString::fromLatin1(mask))
                                      .arg(position));
    }

    void starLimit() {
        QVERIFY(MaskError(QByteArray("*a").repeated(30)).isEmpty());
        QVERIFY(MaskError(QByteArray("*a").repeated(29) + "*").isEmpty());
        QVERIFY(MaskError(QByteArray("**?a").repeated(30)).isEmpty());
        QVERIFY(MatchesMask(QByteArray("a").repeated(30), QByteArray("*a").repeated(30)));
        // The list test appends ".*", whose star is the 31st.
        QCOMPARE(
            ListError(QStringLiteral("x"), {QString::fromLatin1(QByteArray("*a").repeated(30))}),
            QStringLiteral("'%1.*' is an invalid mask at (63)")
                .arg(QString::fromLatin1(QByteArray("*A").repeated(30))));
    }

    void manyStarsStayPolynomial() {
        const QByteArray name = QByteArray(20000, 'a') + 'b';
        QVERIFY(!MatchesMask(name, QByteArray("*a").repeated(29) + "*c"));
        QVERIFY(MatchesMask(name, QByteArray("*a").repeated(29) + "*b"));
        QVERIFY(!MatchesMask(name, QByteArray("*a").repeated(30)));
        QVERIFY(!MatchesMask(QByteArray(20000, 'a'), QByteArray("*?").repeated(30) + "b"));
    }

    void longMask() {
        const QByteArray mask = QByteArray("[a-c]?x").repeated(100) + '*';
        const QByteArray name = QByteArray("B1X").repeated(100) + "tail";
        QVERIFY(MatchesMask(name, mask));
        QVERIFY(!MatchesMask(name.left(299), mask));
    }

    void splitting_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("empty") << "" << QStringList();
        QTest::newRow("blanks only") << "   " << QStringList();
        QTest::newRow("one") << "*.*" << QStringList{"*.*"};
        QTest::newRow("double semicolon") << "*.doc;;*.txt" << QStringList{"*.doc", "", "*.txt"};
        QTest::newRow("blank separates") << "*.doc *.txt" << QStringList{"*.doc", "*.txt"};
        QTest::newRow("quoted blank") << "\"my *.doc\"" << QStringList{"my *.doc"};
        QTest::newRow("quoted semicolon") << "\"a;b\";c" << QStringList{"a;b", "c"};
        QTest::newRow("doubled quote") << "\"say \"\"hi\"\"\"" << QStringList{"say \"hi\""};
        QTest::newRow("trailing semicolon") << "*.doc;" << QStringList{"*.doc", ""};
        QTest::newRow("blanks around") << "  *.doc ;  *.txt  " << QStringList{"*.doc", "*.txt"};
    }
    void splitting() {
        QFETCH(QString, text);
        QFETCH(QStringList, expected);
        QCOMPARE(SplitMasksText(text), expected);
    }

    // Random masks and names: no crash, no hang, only the mask error, and for masks without
    // sets the same answer as a plain matcher.
    void randomInput() {
        QRandomGenerator random(20240305);
        const QByteArray maskAlphabet("*?ab.[]!-A*\xd1\x8b\xff");
        const QByteArray plainAlphabet("*?ab.B");
        const QByteArray nameAlphabet("abAB.-]\xd1\x8b\xff");
        auto pick = [&](const QByteArray& alphabet, int maxLength) {
            QByteArray s;
            const int n = random.bounded(maxLength + 1);
            for (int i = 0; i < n; ++i)
                s += alphabet[random.bounded(int(alphabet.size()))];
            return s;
        };
        for (int round = 0; round < 20000; ++round) {
            const QByteArray name = pick(nameAlphabet, 24);
            const QByteArray plain = pick(plainAlphabet, 14);
            QCOMPARE(MatchesMask(name, plain), ReferenceMatcher(plain, name).Matches());
            try {
                MatchesMask(name, pick(maskAlphabet, 40));
            } catch (const EMaskException&) {
            }
            try {
                NameMatchesMasks(QString::fromUtf8(name),
                                 {QString::fromUtf8(pick(maskAlphabet, 12))});
            } catch (const EMaskException&) {
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestModelMasks)
#include "test_model_masks.moc"
