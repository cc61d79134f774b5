#pragma once

#include "dialogs/kxAbstDlg.h"

#include <QString>
#include <QStringList>

class QPlainTextEdit;

// The texts of the first keyboard language without a table, one line per text, for the
// user to translate and save.
class TdlgTranslate : public TdlgAbst {
    Q_OBJECT
public:
    explicit TdlgTranslate(QWidget* owner);

    QPlainTextEdit* memoTrans;
};

// UTF-16 little-endian with a byte order mark, every line ended by CR LF. Replaces a regular
// file whole or not at all; throws EkxError when it cannot.
void WriteTranslationFile(const QString& fileName, const QStringList& lines);

// The translation request: the texts in the first keyboard language without a table, edited
// in a dialog and saved as UTF-16 text. Does nothing when there is no such language.
void ExecuteTranslateRequest(QWidget* owner);
