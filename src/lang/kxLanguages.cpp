#include "lang/kxLanguages.h"

#include "model/kxProgram.h"

#include <QFile>
#include <QLocale>
#include <QMap>
#include <QRegularExpression>
#include <QStringList>

#include <array>
#include <atomic>

namespace {

// The translation request's vocabulary; the tables go on with the texts added after it.
constexpr int kTextCount = 55;
constexpr int kTableSize = txtLastText + 1;
static_assert(kTableSize >= kTextCount);

using TTable = std::array<const char8_t*, kTableSize>;

// Kept as UTF-8 and decoded at every lookup.
constexpr TTable EnglishTable = {
    u8"File Name",                                 // txtFileName
    u8"File Address",                              // txtFileAddress
    u8"Create date",                               // txtCreateDate
    u8"Last edit date",                            // txtLastEditDate
    u8"Last access date",                          // txtLastAccessDate
    u8"Size",                                      // txtSize
    u8"Thread ID",                                 // txtThreadId
    u8"Thread works count",                        // txtThreadWorksCount
    u8"Thread last start time",                    // txtThreadLastStartTime
    u8"Thread state",                              // txtThreadState
    u8"Thread work address",                       // txtThreadWorkAddress
    u8"Searching started",                         // txtSearchingStarted
    u8"Searching is starting",                     // txtSearchingIsStarting
    u8"Searching is working",                      // txtSearchingIsWorking
    u8"Searching is stopping",                     // txtSearchingIsStopping
    u8"Searching stopped successfully",            // txtSearchingStoppedSuccessfully
    u8"Searching stopped with Error",              // txtSearchingStoppedWithError
    u8"User has stopped the searching",            // txtUserHasStoppedTheSearching
    u8"Thread is waiting",                         // txtThreadIsWaiting
    u8"Thread is working",                         // txtThreadIsWorking
    u8"Thread has stopped with error",             // txtThreadHasStoppedWithError
    u8"Thread has stopped with timeout",           // txtThreadHasStoppedWithTimeout
    u8"Search",                                    // txtSearch
    u8"Run",                                       // txtRun
    u8"Continue",                                  // txtContinue
    u8"Stop",                                      // txtStop
    u8"File",                                      // txtFile
    u8"New",                                       // txtNew
    u8"Open",                                      // txtOpen
    u8"Save",                                      // txtSave
    u8"Save as ...",                               // txtSaveAs
    u8"Exit",                                      // txtExit
    u8"Tree",                                      // txtTree
    u8"Add",                                       // txtAdd
    u8"Delete",                                    // txtDelete
    u8"Pack",                                      // txtPack
    u8"Research from current...",                  // txtResearchFromCurrent
    u8"Open file with...",                         // txtOpenFileWith
    u8"Maximum number of threads",                 // txtMaxThreads
    u8"Maximum folders depth",                     // txtMaxFoldersDepth
    u8"Maximum time of thread life (minutes)",     // txtMaxThreadLife
    u8"Folders and files masks",                   // txtMasks
    u8"Cancel",                                    // txtCancel
    u8"Add range",                                 // txtAddRange
    u8"Range name",                                // txtRangeName
    u8"First IP",                                  // txtFirstIp
    u8"Last IP",                                   // txtLastIp
    u8"Do you want to save the project?",          // txtSaveProjectQuestion
    u8"Projects files",                            // txtProjectsFiles
    u8"All files",                                 // txtAllFiles
    u8"Project",                                   // txtProject
    u8"Projects",                                  // txtProjects
    u8"Languages",                                 // txtLanguages
    u8"Please, translate some words",              // txtTranslateRequest
    u8"Please, send me result of the translation", // txtSendTranslation
    // Connecting as a user
    u8"Connect as...",                                                      // txtConnectAs
    u8"Connect to this host as...",                                         // txtConnectHostAs
    u8"User",                                                               // txtUser
    u8"DOMAIN\\user, user@REALM or user",                                   // txtUserForms
    u8"Password",                                                           // txtPassword
    u8"Use my Kerberos ticket",                                             // txtUseKerberosTicket
    u8"Guest",                                                              // txtGuest
    u8"Remember the password",                                              // txtRememberPassword
    u8"No secret store is running: the password is kept for this run only", // txtNoSecretStore
    u8"Same as the other hosts",                                            // txtAsOtherHosts
    u8"Kerberos ticket",                                                    // txtKerberosTicket
    u8"%1 tasks failed",                                                    // txtTasksFailed
    u8"Connect time-out, ms",                                               // txtConnectTimeout
    // Adding ranges from a list of targets
    u8"Add targets...",                              // txtAddTargets
    u8"Add targets",                                 // txtAddTargetsTitle
    u8"From file...",                                // txtFromFile
    u8"Ranges: %1, addresses: %2",                   // txtTargetsCount
    u8"%1 ranges overlap",                           // txtRangesOverlap
    u8"Line %1: %2",                                 // txtTargetsLine
    u8"'%1' is no address like 192.0.2.1",           // txtTargetNoAddress
    u8"an address is missing",                       // txtTargetAddressMissing
    u8"'%1' has an octet over 255",                  // txtTargetOctetOver255
    u8"'/%1' is no prefix from /0 to /32",           // txtTargetBadPrefix
    u8"'%1' ends before it starts",                  // txtTargetEndsBeforeStart
    u8"an exclusion before any range",               // txtTargetExclusionFirst
    u8"text after the target: '%1'",                 // txtTargetTextAfter
    u8"%1 is not text (line %2)",                    // txtFileNotText
    u8"%1 can not be read: %2",                      // txtFileCanNotRead
    u8"%1 holds %2 addresses",                       // txtLargeRange
    u8"Search ranges of more than 65,536 addresses", // txtAllowLargeRanges
    // Search menu
    u8"Ask for NetBIOS names", // txtNetbiosNames
    u8"Allow SMB1 (insecure)", // txtAllowSmb1
    // The start after a run that did not end cleanly
    u8"Orvane did not end properly last time. Recover the project %1 (%2 nodes) as it was "
    u8"at %3?", // txtRecoverProjectQuestion
};

constexpr TTable RussianTable = {
    u8"Название файла",                               // txtFileName
    u8"Адрес файла",                                  // txtFileAddress
    u8"Дата создания",                                // txtCreateDate
    u8"Дата последнего изменения",                    // txtLastEditDate
    u8"Дата последнего доступа",                      // txtLastAccessDate
    u8"Размер",                                       // txtSize
    u8"ID потока",                                    // txtThreadId
    u8"Количество запусков потока",                   // txtThreadWorksCount
    u8"Время последнего запуска потока",              // txtThreadLastStartTime
    u8"Состояние потока",                             // txtThreadState
    u8"Адрес работы потока",                          // txtThreadWorkAddress
    u8"Поиск запущен",                                // txtSearchingStarted
    u8"Поиск запускается",                            // txtSearchingIsStarting
    u8"Поиск выполняется",                            // txtSearchingIsWorking
    u8"Поиск останавливается",                        // txtSearchingIsStopping
    u8"Поиск успешно завершён",                       // txtSearchingStoppedSuccessfully
    u8"Поиск завершён с ошибкой",                     // txtSearchingStoppedWithError
    u8"Поиск завершён пользователем",                 // txtUserHasStoppedTheSearching
    u8"Поток ожидает",                                // txtThreadIsWaiting
    u8"Поток работает",                               // txtThreadIsWorking
    u8"Поток завершил работу с ошибкой",              // txtThreadHasStoppedWithError
    u8"Поток завершил работу по времени",             // txtThreadHasStoppedWithTimeout
    u8"Поиск",                                        // txtSearch
    u8"Выполнить",                                    // txtRun
    u8"Продолжить",                                   // txtContinue
    u8"Остановить",                                   // txtStop
    u8"Файл",                                         // txtFile
    u8"Новый",                                        // txtNew
    u8"Открыть",                                      // txtOpen
    u8"Сохранить",                                    // txtSave
    u8"Сохранить как...",                             // txtSaveAs
    u8"Выйти",                                        // txtExit
    u8"Дерево",                                       // txtTree
    u8"Добавить",                                     // txtAdd
    u8"Удалить",                                      // txtDelete
    u8"Сжать",                                        // txtPack
    u8"Повторить поиск от текущего...",               // txtResearchFromCurrent
    u8"Открыть файл с помощью...",                    // txtOpenFileWith
    u8"Максимальное число потоков",                   // txtMaxThreads
    u8"Максимальная глубина папок",                   // txtMaxFoldersDepth
    u8"Максимальное время работы потока (в минутах)", // txtMaxThreadLife
    u8"Маски папок и файлов",                         // txtMasks
    u8"Отмена",                                       // txtCancel
    u8"Добавить диапазон",                            // txtAddRange
    u8"Название диапазона",                           // txtRangeName
    u8"Первый IP",                                    // txtFirstIp
    u8"Последний IP",                                 // txtLastIp
    u8"Вы хотите сохранить текущий проект?",          // txtSaveProjectQuestion
    u8"Файлы проектов",                               // txtProjectsFiles
    u8"Все файлы",                                    // txtAllFiles
    u8"Проект",                                       // txtProject
    u8"Проекты",                                      // txtProjects
    u8"Языки",                                        // txtLanguages
    u8"Пожалуйста, переведите несколько слов",        // txtTranslateRequest
    u8"Пожалуйста, вышлите мне результат перевода",   // txtSendTranslation
    // Connecting as a user
    u8"Подключаться как...",                                        // txtConnectAs
    u8"Подключаться к этому узлу как...",                           // txtConnectHostAs
    u8"Пользователь",                                               // txtUser
    u8"ДОМЕН\\пользователь, пользователь@ОБЛАСТЬ или пользователь", // txtUserForms
    u8"Пароль",                                                     // txtPassword
    u8"Использовать мой билет Kerberos",                            // txtUseKerberosTicket
    u8"Гость",                                                      // txtGuest
    u8"Запомнить пароль",                                           // txtRememberPassword
    u8"Хранилище паролей не запущено: пароль хранится только до выхода из программы", // txtNoSecretStore
    u8"Как для остальных узлов", // txtAsOtherHosts
    u8"Билет Kerberos",          // txtKerberosTicket
    u8"ошибок: %1",              // txtTasksFailed
    u8"Тайм-аут соединения, мс", // txtConnectTimeout
    // Adding ranges from a list of targets
    u8"Добавить цели...",                          // txtAddTargets
    u8"Добавить цели",                             // txtAddTargetsTitle
    u8"Из файла...",                               // txtFromFile
    u8"Диапазонов: %1, адресов: %2",               // txtTargetsCount
    u8"пересекаются диапазоны: %1",                // txtRangesOverlap
    u8"Строка %1: %2",                             // txtTargetsLine
    u8"«%1» — не адрес вида 192.0.2.1",            // txtTargetNoAddress
    u8"не хватает адреса",                         // txtTargetAddressMissing
    u8"в «%1» есть число больше 255",              // txtTargetOctetOver255
    u8"«/%1» — не префикс от /0 до /32",           // txtTargetBadPrefix
    u8"«%1» кончается раньше, чем начинается",     // txtTargetEndsBeforeStart
    u8"исключение раньше любого диапазона",        // txtTargetExclusionFirst
    u8"текст после цели: «%1»",                    // txtTargetTextAfter
    u8"%1 — не текст (строка %2)",                 // txtFileNotText
    u8"Не удаётся прочитать %1: %2",               // txtFileCanNotRead
    u8"%1 содержит адресов: %2",                   // txtLargeRange
    u8"Искать в диапазонах больше 65 536 адресов", // txtAllowLargeRanges
    // Search menu
    u8"Запрашивать имена NetBIOS",    // txtNetbiosNames
    u8"Разрешить SMB1 (небезопасно)", // txtAllowSmb1
    // The start after a run that did not end cleanly
    u8"Прошлый сеанс Orvane завершился некорректно. Восстановить проект %1 (узлов: %2) в "
    u8"состоянии на %3?", // txtRecoverProjectQuestion
};

constexpr bool AllFilled(const TTable& table) {
    for (const char8_t* text : table)
        if (!text || !*text)
            return false;
    return true;
}
static_assert(AllFilled(EnglishTable) && AllFilled(RussianTable), "a text table has a gap");

std::atomic<quint32> CurrentLanguageValue{0};

const TTable* TableOf(quint32 language) {
    if (language == LangEnglish)
        return &EnglishTable;
    if (language == LangRussian)
        return &RussianTable;
    return nullptr;
}

QString TableText(const TTable& table, int id) {
    if (id < 0 || id >= kTableSize)
        return QStringLiteral("...");
    return QString::fromUtf8(table[id]);
}

struct TLanguageLocale {
    quint16 LangId;
    QLocale::Language Language;
    QLocale::Script Script;
};

// LANGID -> language and script. Within one primary language (low 10 bits) the first entry is
// the one an unlisted sublanguage falls back to.
constexpr TLanguageLocale LanguageLocales[] = {
    {1033, QLocale::English, QLocale::AnyScript}, // en-US
    {2057, QLocale::English, QLocale::AnyScript}, // en-GB
    {3081, QLocale::English, QLocale::AnyScript}, // en-AU
    {4105, QLocale::English, QLocale::AnyScript}, // en-CA
    {5129, QLocale::English, QLocale::AnyScript}, // en-NZ
    {6153, QLocale::English, QLocale::AnyScript}, // en-IE
    {1049, QLocale::Russian, QLocale::AnyScript},
    {1031, QLocale::German, QLocale::AnyScript},     // de-DE
    {2055, QLocale::German, QLocale::AnyScript},     // de-CH
    {3079, QLocale::German, QLocale::AnyScript},     // de-AT
    {1036, QLocale::French, QLocale::AnyScript},     // fr-FR
    {2060, QLocale::French, QLocale::AnyScript},     // fr-BE
    {3084, QLocale::French, QLocale::AnyScript},     // fr-CA
    {4108, QLocale::French, QLocale::AnyScript},     // fr-CH
    {1034, QLocale::Spanish, QLocale::AnyScript},    // es-ES, traditional sort
    {3082, QLocale::Spanish, QLocale::AnyScript},    // es-ES
    {2058, QLocale::Spanish, QLocale::AnyScript},    // es-MX
    {1040, QLocale::Italian, QLocale::AnyScript},    // it-IT
    {1046, QLocale::Portuguese, QLocale::AnyScript}, // pt-BR
    {2070, QLocale::Portuguese, QLocale::AnyScript}, // pt-PT
    {1045, QLocale::Polish, QLocale::AnyScript},
    {1058, QLocale::Ukrainian, QLocale::AnyScript},
    {1059, QLocale::Belarusian, QLocale::AnyScript},
    {1087, QLocale::Kazakh, QLocale::AnyScript},
    {1029, QLocale::Czech, QLocale::AnyScript},
    {1051, QLocale::Slovak, QLocale::AnyScript},
    {1043, QLocale::Dutch, QLocale::AnyScript}, // nl-NL
    {2067, QLocale::Dutch, QLocale::AnyScript}, // nl-BE
    {1053, QLocale::Swedish, QLocale::AnyScript},
    {1035, QLocale::Finnish, QLocale::AnyScript},
    {1044, QLocale::NorwegianBokmal, QLocale::AnyScript},
    {2068, QLocale::NorwegianNynorsk, QLocale::AnyScript},
    {1030, QLocale::Danish, QLocale::AnyScript},
    {1039, QLocale::Icelandic, QLocale::AnyScript},
    {1041, QLocale::Japanese, QLocale::AnyScript},
    {2052, QLocale::Chinese, QLocale::SimplifiedHanScript},  // zh-CN
    {1028, QLocale::Chinese, QLocale::TraditionalHanScript}, // zh-TW
    {3076, QLocale::Chinese, QLocale::TraditionalHanScript}, // zh-HK
    {4100, QLocale::Chinese, QLocale::SimplifiedHanScript},  // zh-SG
    {1042, QLocale::Korean, QLocale::AnyScript},
    {1055, QLocale::Turkish, QLocale::AnyScript},
    {1038, QLocale::Hungarian, QLocale::AnyScript},
    {1032, QLocale::Greek, QLocale::AnyScript},
    {1048, QLocale::Romanian, QLocale::AnyScript},
    {1026, QLocale::Bulgarian, QLocale::AnyScript},
    {1037, QLocale::Hebrew, QLocale::AnyScript},
    {1025, QLocale::Arabic, QLocale::AnyScript},
    {1063, QLocale::Lithuanian, QLocale::AnyScript},
    {1062, QLocale::Latvian, QLocale::AnyScript},
    {1061, QLocale::Estonian, QLocale::AnyScript},
    {1060, QLocale::Slovenian, QLocale::AnyScript},
    {1050, QLocale::Croatian, QLocale::AnyScript},
    {2074, QLocale::Serbian, QLocale::LatinScript},    // sr-Latn
    {3098, QLocale::Serbian, QLocale::CyrillicScript}, // sr-Cyrl
    {5146, QLocale::Bosnian, QLocale::AnyScript},
    {1071, QLocale::Macedonian, QLocale::AnyScript},
    {1052, QLocale::Albanian, QLocale::AnyScript},
    {1067, QLocale::Armenian, QLocale::AnyScript},
    {1079, QLocale::Georgian, QLocale::AnyScript},
    {1068, QLocale::Azerbaijani, QLocale::LatinScript},
    {1091, QLocale::Uzbek, QLocale::LatinScript},
    {1064, QLocale::Tajik, QLocale::AnyScript},
    {1090, QLocale::Turkmen, QLocale::AnyScript},
    {1088, QLocale::Kyrgyz, QLocale::AnyScript},
    {1104, QLocale::Mongolian, QLocale::AnyScript},
    {1065, QLocale::Persian, QLocale::AnyScript},
    {1056, QLocale::Urdu, QLocale::AnyScript},
    {1081, QLocale::Hindi, QLocale::AnyScript},
    {1093, QLocale::Bengali, QLocale::AnyScript},
    {1097, QLocale::Tamil, QLocale::AnyScript},
    {1054, QLocale::Thai, QLocale::AnyScript},
    {1066, QLocale::Vietnamese, QLocale::AnyScript},
    {1057, QLocale::Indonesian, QLocale::AnyScript},
    {1086, QLocale::Malay, QLocale::AnyScript},
    {1027, QLocale::Catalan, QLocale::AnyScript},
    {1069, QLocale::Basque, QLocale::AnyScript},
    {1110, QLocale::Galician, QLocale::AnyScript},
    {1106, QLocale::Welsh, QLocale::AnyScript},
    {2108, QLocale::Irish, QLocale::AnyScript},
    {1082, QLocale::Maltese, QLocale::AnyScript},
    {1078, QLocale::Afrikaans, QLocale::AnyScript},
    {1089, QLocale::Swahili, QLocale::AnyScript},
};

const TLanguageLocale* FindLanguageLocale(quint32 language) {
    if (language > 0xFFFF)
        return nullptr;
    for (const TLanguageLocale& entry : LanguageLocales)
        if (entry.LangId == language)
            return &entry;
    const quint32 primary = language & 0x3FF;
    for (const TLanguageLocale& entry : LanguageLocales)
        if ((entry.LangId & 0x3FF) == primary)
            return &entry;
    return nullptr;
}

// Qt names some locales with a regional qualifier ("American English", "español de España").
// The name most locales of the language and script give themselves is the plain language name.
QString PlainLanguageName(QLocale::Language language, QLocale::Script script) {
    QMap<QString, int> counts;
    for (const QLocale& locale :
         QLocale::matchingLocales(language, script, QLocale::AnyTerritory)) {
        const QString name = locale.nativeLanguageName();
        if (!name.isEmpty())
            ++counts[name];
    }
    QString best;
    int bestCount = 0;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        if (it.value() > bestCount) {
            best = it.key();
            bestCount = it.value();
        }
    }
    if (best.isEmpty())
        best = QLocale(language, script, QLocale::AnyTerritory).nativeLanguageName();
    return best;
}

struct TXkbLanguage {
    const char* Layout;
    quint16 LangId;
};

constexpr TXkbLanguage XkbLanguages[] = {
    {"us", 1033}, {"gb", 2057}, {"au", 3081}, {"ie", 6153},  {"nz", 5129},    {"ca", 3084},
    {"ru", 1049}, {"ua", 1058}, {"by", 1059}, {"kz", 1087},  {"de", 1031},    {"at", 3079},
    {"ch", 2055}, {"fr", 1036}, {"be", 2060}, {"es", 3082},  {"latam", 2058}, {"it", 1040},
    {"pt", 2070}, {"br", 1046}, {"pl", 1045}, {"cz", 1029},  {"sk", 1051},    {"se", 1053},
    {"fi", 1035}, {"no", 1044}, {"dk", 1030}, {"is", 1039},  {"nl", 1043},    {"jp", 1041},
    {"cn", 2052}, {"tw", 1028}, {"kr", 1042}, {"tr", 1055},  {"hu", 1038},    {"gr", 1032},
    {"ro", 1048}, {"bg", 1026}, {"il", 1037}, {"ara", 1025}, {"lt", 1063},    {"lv", 1062},
    {"ee", 1061}, {"si", 1060}, {"hr", 1050}, {"rs", 3098},  {"ba", 5146},    {"mk", 1071},
    {"al", 1052}, {"am", 1067}, {"ge", 1079}, {"az", 1068},  {"uz", 1091},    {"tj", 1064},
    {"tm", 1090}, {"kg", 1088}, {"mn", 1104}, {"ir", 1065},  {"pk", 1056},    {"in", 1081},
    {"bd", 1093}, {"th", 1054}, {"vn", 1066}, {"id", 1057},  {"my", 1086},    {"mt", 1082},
};

constexpr std::size_t kMaxLayouts = 256;

QStringList SplitLayouts(const QString& layouts) {
    QStringList result;
    for (const QString& part : layouts.split(u',', Qt::SkipEmptyParts)) {
        const QString layout = part.trimmed();
        if (!layout.isEmpty())
            result.append(layout);
    }
    return result;
}

// The session's layouts as the X server has them; empty when there is no display or the
// query fails. The short limits keep a stuck X server from stalling the menu.
QStringList SessionXkbLayouts() {
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return {};
    const TkxProgramRun run =
        RunProgram(QStringLiteral("setxkbmap"), {QStringLiteral("-query")}, 2000);
    if (!run.NormalExit || run.ExitCode != 0)
        return {};
    const QString output = QString::fromLocal8Bit(run.Output);
    for (const QString& line : output.split(u'\n')) {
        if (line.startsWith(QLatin1String("layout:")))
            return SplitLayouts(line.mid(7));
    }
    return {};
}

QStringList ConfiguredXkbLayouts() {
    QFile file(QStringLiteral("/etc/default/keyboard"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    const QString text = QString::fromLocal8Bit(file.read(64 * 1024));
    static const QRegularExpression line(QStringLiteral(R"(^\s*XKBLAYOUT\s*=\s*(.*)$)"),
                                         QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = line.match(text);
    if (!match.hasMatch())
        return {};
    QString value = match.captured(1).trimmed();
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
        value.back() == value.front())
        value = value.mid(1, value.size() - 2);
    return SplitLayouts(value);
}

TDWordArray InstalledKeyboardLanguages() {
    TDWordArray result;
    if (qEnvironmentVariableIsSet("ORVANE_KEYBOARD_LANGUAGES")) {
        for (const QByteArray& part : qgetenv("ORVANE_KEYBOARD_LANGUAGES").split(',')) {
            bool ok = false;
            const uint value = part.trimmed().toUInt(&ok, 0);
            if (ok && value > 0 && value <= 0xFFFF && result.size() < kMaxLayouts)
                result.push_back(value);
        }
        return result;
    }
    QStringList layouts = SessionXkbLayouts();
    if (layouts.isEmpty())
        layouts = ConfiguredXkbLayouts();
    for (const QString& layout : layouts) {
        const quint32 language = XkbLayoutLanguage(layout);
        if (language != 0 && result.size() < kMaxLayouts)
            result.push_back(language);
    }
    return result;
}

} // namespace

int TextCount() {
    return kTextCount;
}

QString LanguageText(quint32 language, int id) {
    if (const TTable* table = TableOf(language))
        return TableText(*table, id);
    return QStringLiteral("%1 (%2)").arg(NativeLanguageName(language), TableText(EnglishTable, id));
}

QString CurrentText(int id) {
    return LanguageText(CurrentLanguage(), id);
}

quint32 CurrentLanguage() {
    return CurrentLanguageValue.load(std::memory_order_acquire);
}

void SetCurrentLanguage(quint32 language) {
    CurrentLanguageValue.store(language, std::memory_order_release);
}

TDWordArray BuiltInLanguages() {
    return {LangEnglish, LangRussian};
}

QString NativeLanguageName(quint32 language) {
    // The neutral identifier stands for the user's own language (as the desktop reports it),
    // e.g. in the type name of project files registered before any language is chosen.
    if (language == 0) {
        const QLocale system = QLocale::system();
        if (system.language() != QLocale::C && !system.nativeLanguageName().isEmpty())
            return system.nativeLanguageName();
    }
    if (const TLanguageLocale* entry = FindLanguageLocale(language)) {
        const QString name = PlainLanguageName(entry->Language, entry->Script);
        if (!name.isEmpty())
            return name;
    }
    return QStringLiteral("Language %1").arg(language);
}

quint32 XkbLayoutLanguage(const QString& layout) {
    // "de(nodeadkeys)" and "de:2" name the layout "de".
    QString name = layout.trimmed().toLower();
    static const QRegularExpression suffix(QStringLiteral("[(:]"));
    const qsizetype cut = name.indexOf(suffix);
    if (cut >= 0)
        name.truncate(cut);
    for (const TXkbLanguage& entry : XkbLanguages)
        if (name == QLatin1String(entry.Layout))
            return entry.LangId;
    return 0;
}

TDWordArray OtherKeyboardLanguages() {
    TDWordArray result;
    const TDWordArray builtIn = BuiltInLanguages();
    for (quint32 language : InstalledKeyboardLanguages()) {
        bool isBuiltIn = false;
        for (quint32 table : builtIn)
            if ((language & 0xFF) == (table & 0xFF))
                isBuiltIn = true;
        if (!isBuiltIn)
            result.push_back(language);
    }
    return result;
}

QString ProjectFileFilter() {
    return QStringLiteral("%1 (*.%2)|*.%2|%3(*.*)|*.*")
        .arg(CurrentText(txtProjectsFiles), QStringLiteral("kxor"), CurrentText(txtAllFiles));
}

QString TextFileFilter() {
    return QStringLiteral("*.%1|*.%1|%2(*.*)|*.*")
        .arg(QStringLiteral("txt"), CurrentText(txtAllFiles));
}

QString FilterToQt(const QString& filter) {
    const QStringList parts = filter.split(u'|');
    QStringList entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString& description = parts[i];
        const QString& pattern = parts[i + 1];
        if (description == pattern ||
            description.endsWith(QLatin1Char('(') + pattern + QLatin1Char(')')))
            entries.append(description);
        else
            entries.append(QStringLiteral("%1 (%2)").arg(description, pattern));
    }
    return entries.join(QStringLiteral(";;"));
}

QString ProjectFileFilterQt() {
    return FilterToQt(ProjectFileFilter());
}

QString TextFileFilterQt() {
    return FilterToQt(TextFileFilter());
}
