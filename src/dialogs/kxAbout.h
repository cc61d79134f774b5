#pragma once

#include "app/kxAbst.h"

// The about box: title with version, author, mail and web links. Also the start-up splash.
class TdlgAbout : public TfrmAbst {
    Q_OBJECT
public:
    explicit TdlgAbout(QWidget* owner);
    // Closes the box by itself after a minute.
    void StartTimer();
    // Shows the box modally until it closes.
    void Execute();

protected:
    void ApplyTexts() override;
};
