#pragma once

// Texts the language tables do not hold: the tables are the translation request's vocabulary,
// and these never were in it. Each answers in Russian when that is the current language, else
// in English.

#include <QString>

// Names for screen readers.
enum class TkxAccessibleText {
    ResultTree,
    Details,
    Threads,
    Errors,
    Parameters,
    PendingNodes,
    SearchState,
    Progress,
    IconAddress,
    Matches,
    LeadsToMatch,
    Account
};
QString AccessibleText(TkxAccessibleText id);

// The answers of a Yes/No question ("&Да", "&Нет"); empty where the toolkit's own buttons
// already speak the language.
QString YesAnswerText();
QString NoAnswerText();

// The end of a search: "1 task failed", else the table's "%1 tasks failed".
QString TasksFailedText(int count);
