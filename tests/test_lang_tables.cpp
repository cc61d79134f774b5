#include "lang/kxLanguages.h"

#include <QTemporaryDir>
#include <QtTest>

class TestLangTables : public QObject {
    Q_OBJECT

private:
    QByteArray SavedKeyboard;
    bool HadKeyboard = false;

private Q_SLOTS:
    void initTestCase() {
        HadKeyboard = qEnvironmentVariableIsSet("ORVANE_KEYBOARD_LANGUAGES");
        SavedKeyboard = qgetenv("ORVANE_KEYBOARD_LANGUAGES");
    }
    void cleanup() {
        SetCurrentLanguage(0);
        if (HadKeyboard)
            qputenv("ORVANE_KEYBOARD_LANGUAGES", SavedKeyboard);
        else
            qunsetenv("ORVANE_KEYBOARD_LANGUAGES");
    }

    void tableLookup_data() {
        QTest::addColumn<quint32>("language");
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("expected");
        QTest::newRow("en first") << 1033u << 0 << "File Name";
        QTest::newRow("en last") << 1033u << 54 << "Please, send me result of the translation";
        QTest::newRow("en past end") << 1033u << int(txtLastText) + 1 << "...";
        // Texts added after the translation request's 55 follow them in both tables.
        QTest::newRow("en first added") << 1033u << 55 << "Connect as...";
        QTest::newRow("ru first added")
            << 1049u << 55 << QString::fromUtf8(u8"Подключаться как...");
        QTest::newRow("en user forms")
            << 1033u << int(txtUserForms) << "DOMAIN\\user, user@REALM or user";
        QTest::newRow("en negative") << 1033u << -1 << "...";
        QTest::newRow("en huge") << 1033u << INT_MAX << "...";
        QTest::newRow("ru first") << 1049u << 0 << QString::fromUtf8(u8"Название файла");
        QTest::newRow("ru threads")
            << 1049u << int(txtMaxThreads) << QString::fromUtf8(u8"Максимальное число потоков");
        QTest::newRow("ru finished") << 1049u << int(txtSearchingStoppedSuccessfully)
                                     << QString::fromUtf8(u8"Поиск успешно завершён");
        QTest::newRow("ru last") << 1049u << 54
                                 << QString::fromUtf8(
                                        u8"Пожалуйста, вышлите мне результат перевода");
        QTest::newRow("ru negative") << 1049u << -1 << "...";
        QTest::newRow("ru past end") << 1049u << int(txtLastText) + 1 << "...";
        QTest::newRow("en save as") << 1033u << int(txtSaveAs) << "Save as ...";
        QTest::newRow("ru save as")
            << 1049u << int(txtSaveAs) << QString::fromUtf8(u8"Сохранить как...");
    }
    void tableLookup() {
        QFETCH(quint32, language);
        QFETCH(int, id);
        QFETCH(QString, expected);
        QCOMPARE(LanguageText(language, id), expected);
    }

    // Only the whole identifier selects a table: variants and unknown languages show the
    // native name with the English text.
    void languagesWithoutTable_data() {
        QTest::addColumn<quint32>("language");
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("english");
        QTest::newRow("German") << 1031u << 0 << "File Name";
        QTest::newRow("British English") << 2057u << 5 << "Size";
        QTest::newRow("Russian in 16 bits plus") << (0x10000u | 1049u) << 5 << "Size";
        QTest::newRow("German out of range") << 1031u << int(txtLastText) + 1 << "...";
        QTest::newRow("language 0") << 0u << int(txtProjects) << "Projects";
        QTest::newRow("unknown") << 0x3FFu << -7 << "...";
    }
    void languagesWithoutTable() {
        QFETCH(quint32, language);
        QFETCH(int, id);
        QFETCH(QString, english);
        const QString native = NativeLanguageName(language);
        QVERIFY(!native.isEmpty());
        QCOMPARE(LanguageText(language, id), native + " (" + english + ")");
    }

    void everyTextPresentAndAccessorsAgree() {
        QCOMPARE(TextCount(), 55);
        for (int id = 0; id <= txtLastText; ++id) {
            QVERIFY2(!LanguageText(1033, id).isEmpty(), qPrintable(QString::number(id)));
            QVERIFY2(!LanguageText(1049, id).isEmpty(), qPrintable(QString::number(id)));
            QVERIFY(LanguageText(1049, id) != LanguageText(1033, id));
            QVERIFY(!LanguageText(1033, id).contains(QChar::ReplacementCharacter));
            QVERIFY(!LanguageText(1049, id).contains(QChar::ReplacementCharacter));
        }
        const QList<QPair<QString (*)(), int>> accessors = {
            {TextFileName, txtFileName},
            {TextSize, txtSize},
            {TextThreadIsWaiting, txtThreadIsWaiting},
            {TextSearch, txtSearch},
            {TextMaxThreads, txtMaxThreads},
            {TextSaveProjectQuestion, txtSaveProjectQuestion},
            {TextProject, txtProject},
            {TextProjects, txtProjects},
            {TextSendTranslation, txtSendTranslation},
        };
        for (quint32 language : {0u, 1033u, 1049u, 1031u}) {
            SetCurrentLanguage(language);
            QCOMPARE(CurrentLanguage(), language);
            for (const auto& [accessor, id] : accessors)
                QCOMPARE(accessor(), LanguageText(language, id));
        }
    }

    void filters() {
        SetCurrentLanguage(1033);
        QCOMPARE(ProjectFileFilter(), "Projects files (*.kxor)|*.kxor|All files(*.*)|*.*");
        QCOMPARE(TextFileFilter(), "*.txt|*.txt|All files(*.*)|*.*");
        QCOMPARE(ProjectFileFilterQt(), "Projects files (*.kxor);;All files(*.*)");
        QCOMPARE(TextFileFilterQt(), "*.txt;;All files(*.*)");
        SetCurrentLanguage(1049);
        QCOMPARE(ProjectFileFilter(),
                 QString::fromUtf8(u8"Файлы проектов (*.kxor)|*.kxor|Все файлы(*.*)|*.*"));
        QCOMPARE(TextFileFilter(), QString::fromUtf8(u8"*.txt|*.txt|Все файлы(*.*)|*.*"));
        SetCurrentLanguage(1031);
        const QString german = NativeLanguageName(1031);
        QCOMPARE(ProjectFileFilter(),
                 german + " (Projects files) (*.kxor)|*.kxor|" + german + " (All files)(*.*)|*.*");
        QCOMPARE(ProjectFileFilterQt(),
                 german + " (Projects files) (*.kxor);;" + german + " (All files)(*.*)");
        QCOMPARE(FilterToQt("Texts|*.txt"), "Texts (*.txt)");
    }

    void builtInLanguages() { QCOMPARE(BuiltInLanguages(), TDWordArray({1033, 1049})); }

    void nativeNames_data() {
        QTest::addColumn<quint32>("language");
        QTest::addColumn<QString>("expected");
        QTest::newRow("en-US") << 1033u << "English";
        QTest::newRow("en-GB") << 2057u << "English";
        QTest::newRow("ru") << 1049u << QString::fromUtf8(u8"русский");
        QTest::newRow("de") << 1031u << "Deutsch";
        QTest::newRow("de-CH") << 2055u << "Deutsch";
        QTest::newRow("fr") << 1036u << QString::fromUtf8(u8"français");
        QTest::newRow("es modern") << 3082u << QString::fromUtf8(u8"español");
        QTest::newRow("uk") << 1058u << QString::fromUtf8(u8"українська");
        QTest::newRow("zh-CN") << 2052u << QString::fromUtf8(u8"简体中文");
        QTest::newRow("zh-TW") << 1028u << QString::fromUtf8(u8"繁體中文");
        QTest::newRow("sr-Latn") << 2074u << "srpski";
        QTest::newRow("unlisted German sublanguage") << 0x1407u << "Deutsch";
        QTest::newRow("primary only") << 0x0009u << "English";
        QTest::newRow("language 0") << 0u
                                    << (QLocale::system().language() == QLocale::C
                                            ? QStringLiteral("Language 0")
                                            : QLocale::system().nativeLanguageName());
        QTest::newRow("unknown primary") << 0x03FFu << "Language 1023";
        QTest::newRow("beyond 16 bits") << 0x10409u << "Language 66569";
    }
    void nativeNames() {
        QFETCH(quint32, language);
        QFETCH(QString, expected);
        QCOMPARE(NativeLanguageName(language), expected);
    }

    void otherKeyboardLanguages_data() {
        QTest::addColumn<QByteArray>("installed");
        QTest::addColumn<TDWordArray>("expected");
        QTest::newRow("us ru de") << QByteArray("1033,1049,1031") << TDWordArray{1031};
        QTest::newRow("us gb") << QByteArray("1033,2057") << TDWordArray{};
        QTest::newRow("duplicates kept in order")
            << QByteArray(" 1031, 0x0407 ,1036,1031") << TDWordArray{1031, 1031, 1036, 1031};
        QTest::newRow("russian variants") << QByteArray("0x0819,0x0c09,1058") << TDWordArray{1058};
        QTest::newRow("junk skipped") << QByteArray("abc,,0,70000,1045") << TDWordArray{1045};
        QTest::newRow("empty") << QByteArray("") << TDWordArray{};
    }
    void otherKeyboardLanguages() {
        QFETCH(QByteArray, installed);
        QFETCH(TDWordArray, expected);
        qputenv("ORVANE_KEYBOARD_LANGUAGES", installed);
        QCOMPARE(OtherKeyboardLanguages(), expected);
    }

    // Without the override the layouts come from the X session's keyboard configuration.
    void sessionLayouts() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QFile tool(dir.filePath("setxkbmap"));
        QVERIFY(tool.open(QIODevice::WriteOnly));
        tool.write("#!/bin/sh\n"
                   "echo 'rules:      evdev'\n"
                   "echo 'layout:     us,de(nodeadkeys),ru,gb,xx,ua,de'\n"
                   "echo 'variant:    ,nodeadkeys'\n");
        tool.close();
        QVERIFY(tool.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        const QByteArray oldPath = qgetenv("PATH");
        const QByteArray oldDisplay = qgetenv("DISPLAY");
        const bool hadDisplay = qEnvironmentVariableIsSet("DISPLAY");
        qunsetenv("ORVANE_KEYBOARD_LANGUAGES");
        qputenv("PATH", QFile::encodeName(dir.path()) + ":" + oldPath);
        qputenv("DISPLAY", ":77");
        const TDWordArray languages = OtherKeyboardLanguages();
        qputenv("PATH", oldPath);
        if (hadDisplay)
            qputenv("DISPLAY", oldDisplay);
        else
            qunsetenv("DISPLAY");
        QCOMPARE(languages, TDWordArray({1031, 1058, 1031}));
    }

    void xkbLayouts_data() {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<quint32>("expected");
        QTest::newRow("us") << "us" << 1033u;
        QTest::newRow("gb") << "gb" << 2057u;
        QTest::newRow("ru") << "ru" << 1049u;
        QTest::newRow("de variant") << "de(nodeadkeys)" << 1031u;
        QTest::newRow("ua") << "ua" << 1058u;
        QTest::newRow("upper case, blanks") << " FR " << 1036u;
        QTest::newRow("group suffix") << "by:2" << 1059u;
        QTest::newRow("unknown") << "xx" << 0u;
        QTest::newRow("empty") << "" << 0u;
    }
    void xkbLayouts() {
        QFETCH(QString, layout);
        QFETCH(quint32, expected);
        QCOMPARE(XkbLayoutLanguage(layout), expected);
    }
};

QTEST_GUILESS_MAIN(TestLangTables)
#include "test_lang_tables.moc"
