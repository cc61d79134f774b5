#pragma once

#include "dialogs/kxAbstDlg.h"

#include <QString>

class QPlainTextEdit;

// The masks text one mask per line. Only the placement is stored; the caller supplies the
// masks each time.
class TdlgMasks : public TdlgAbst {
    Q_OBJECT
public:
    explicit TdlgMasks(QWidget* owner);

    QPlainTextEdit* memoMasks;

protected:
    void ApplyTexts() override;
    void PlaceDefault() override;
};

// Edits a masks text one mask per line; yields the text unchanged when cancelled. Blanks
// separate masks as ';' does, so a mask holding a blank comes back in double quotes.
QString EditMasks(QWidget* owner, const QString& masks);
