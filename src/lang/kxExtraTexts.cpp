#include "lang/kxExtraTexts.h"

#include "lang/kxLanguages.h"

namespace {

struct TPair {
    const char* English;
    const char* Russian;
};

QString InCurrentLanguage(const TPair& pair) {
    return QString::fromUtf8(CurrentLanguage() == LangRussian ? pair.Russian : pair.English);
}

} // namespace

QString AccessibleText(TkxAccessibleText id) {
    static const TPair texts[] = {
        {"Search results", "Результаты поиска"},
        {"Details", "Подробности"},
        {"Threads", "Потоки"},
        {"Errors", "Ошибки"},
        {"Search parameters", "Параметры поиска"},
        {"Pending nodes", "Узлы в очереди"},
        {"Search state", "Состояние поиска"},
        {"Progress", "Ход операции"},
        {"Icon being fetched for", "Загружается значок для"},
        {"Matches the masks", "Совпадает с масками"},
        {"Leads to a match", "Ведёт к совпадению"},
        {"Connected as", "Подключение от имени"},
    };
    return InCurrentLanguage(texts[int(id)]);
}

QString YesAnswerText() {
    return InCurrentLanguage({"", "&Да"});
}

QString NoAnswerText() {
    return InCurrentLanguage({"", "&Нет"});
}

QString TasksFailedText(int count) {
    // The table's text is a plural; English says the one failure in the singular.
    if (count == 1 && CurrentLanguage() != LangRussian)
        return QStringLiteral("1 task failed");
    return TextTasksFailed(count);
}
