#pragma once

#include "dialogs/kxAbstDlg.h"
#include "model/kxTargets.h"

#include <QString>

#include <optional>

class QCheckBox;
class QLabel;
class QPlainTextEdit;

// Many ranges at once: a list of targets typed, pasted or read from a file, one a line, with
// a live line below it that counts what the text gives or names the wrong line. OK stays
// disabled while a line is wrong, while the text gives nothing, and while a range above
// LargeRangeSize addresses waits for the user's consent. Only the placement is stored: a list
// that came back on its own would be added twice all too easily.
class TdlgTargets : public TdlgAbst {
    Q_OBJECT
public:
    explicit TdlgTargets(QWidget* owner);

    QAction* actFromFile;
    QPlainTextEdit* memoTargets;
    QToolButton* sbFromFile;
    QLabel* lblSummary;
    QCheckBox* cbAllowLarge;

    // The ranges the text gives, in order; empty while a line is wrong.
    const TkxTargetList& Targets() const { return Parsed.Targets; }
    // Puts a file's text into the field in place of what is there (Undo brings it back). A
    // file that can not be read or is not text leaves the field alone, and the live line
    // says why until the text is changed.
    bool LoadFile(const QString& fileName);

protected:
    void ApplyTexts() override;
    void PlaceDefault() override;
    void actOKUpdate() override;

private:
    void memoTargetsChange();
    void actFromFileExecute();
    void ShowSummary();

    TkxTargetsResult Parsed;
    std::optional<QString> FileError;
    // The ranges above LargeRangeSize the text gives now, and those the box was ticked for.
    TkxTargetList LargeNow;
    TkxTargetList ConsentedLarge;
};

// Asks for a list of targets. True when confirmed, with the ranges in `targets`.
bool ExecuteTargetsDialog(QWidget* owner, TkxTargetList& targets);
