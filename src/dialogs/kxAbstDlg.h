#pragma once

#include "app/kxAbst.h"

#include <QSize>
#include <QStringList>

class QAction;
class QPlainTextEdit;
class QToolButton;

// Base of the modal dialogs: an OK and a Cancel command on two buttons at the bottom right,
// sized to their captions in the current language, and a default placement centred on the
// main window whenever the stored placement cannot be restored. A dialog is created for one
// use, run with ShowModal and released by the code that opened it.
//
// Escape cancels, Enter confirms when OK is enabled, the close box cancels.
class TdlgAbst : public TfrmAbst {
    Q_OBJECT
public:
    // Tag 3 is the base's own stored value; the translation dialog keeps it.
    explicit TdlgAbst(QWidget* owner, int tag = 3);

    QAction* actOK;
    QAction* actCancel;
    QToolButton* sbOK;
    QToolButton* sbCancel;
    // The dialog's own controls go here; the button row lies below it.
    QWidget* pnlClient;

    // Both buttons 1.5 times their caption wide (halves to even), equally wide, never
    // narrower than the designed Cancel, Cancel's right edge kept, OK touching it.
    void LayoutButtons();

    // The design's width and height of the buttons, and the gap between them before the
    // first layout.
    static constexpr int DesignButtonWidth = 75;
    static constexpr int DesignButtonHeight = 25;
    static constexpr int DesignButtonGap = 6;

protected:
    void ApplyTexts() override;
    // Centred on the main window. Dialogs set their size before and their fields after.
    virtual void PlaceDefault();
    // Enable their action; a dialog with conditions on OK overrides actOKUpdate.
    virtual void actOKUpdate();
    virtual void actCancelUpdate();
    // Runs both update handlers: whenever something the conditions read has changed.
    void UpdateActions();

    // The design's client size, grown to what the controls need in the current font.
    void SetDefaultSize(QSize designClient);

    void ApplyTextsMessage() override;
    void TntFormShow() override;
    void keyPressEvent(QKeyEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void TntFormCreate();
    void actOKExecute();
    void actCancelExecute();
    // Keeps the pair at its distance from the right edge of the button row.
    void PlaceButtons();

    QWidget* pnlButtons;
    bool FirstLayout = true;
    int CancelRightMargin = 0;
    int CancelDesignWidth = DesignButtonWidth;
    int ButtonGap = DesignButtonGap;
};

// A memo's lines as a text list keeps them: every line ends with a line break, and a last
// line without one counts when it is not empty. So "a\nb" and "a\nb\n" are two lines, "\n"
// is one empty line and the empty memo has none.
void SetMemoLines(QPlainTextEdit* memo, const QStringList& lines);
QStringList MemoLines(const QPlainTextEdit* memo);

// Half-way values go to the even neighbour: 112.5 -> 112, 113.5 -> 114.
int RoundHalfEven(double value);
