#pragma once

#include "app/kxAbst.h"

class QFrame;
class QLabel;
class QTimer;

// The about box: the title with the version, the author, a mail and a web link. Borderless,
// in the centre of the screen, never stored. Also the start-up splash.
class TdlgAbout : public TfrmAbst {
    Q_OBJECT
public:
    explicit TdlgAbout(QWidget* owner);
    // Closes the box by itself after a minute.
    void StartTimer();
    // Shows the box modally until it closes.
    void Execute();
    // Shows the box without a modal loop, texts applied at once, so it is complete even while
    // its owner keeps the event loop waiting.
    void ShowSplash();

    QFrame* pnlClient;
    QLabel* lblName;
    QLabel* lblAuthor;
    QLabel* lblMail;
    QLabel* lblHttp;
    QTimer* tmrExit;

    static constexpr int ExitInterval = 60000;

protected:
    void ApplyTexts() override;
    void TntFormShow() override;
    void keyPressEvent(QKeyEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void TntFormCreate();
    void tmrExitTimer();
    void lblClick(QLabel* sender);
    // Fits the box to its texts and puts it in the middle of its screen.
    void CenterOnScreen();
};
