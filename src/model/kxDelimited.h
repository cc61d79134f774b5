#pragma once

#include <QChar>
#include <QString>
#include <QStringList>

// Delimited text with the double quote as quote character. Blanks and control characters
// separate entries just as the delimiter does; a quoted entry may hold them.
QStringList SplitDelimited(const QString& text, QChar delimiter);

// Entries holding a blank, a control character, a double quote or the delimiter are quoted.
// One empty entry gives "", an empty list the empty text.
QString JoinDelimited(const QStringList& entries, QChar delimiter);
