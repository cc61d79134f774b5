#pragma once

#include "storage/kxProps.h"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>

// Keeps one window's state between runs: its placement and whatever its OnSave adds, as a
// property bag stored in the settings (organisation "KX", application "Orvane") under the
// value "Data" followed by the window's tag, in the component text form and the complement-hex
// encoding. Only a top-level window is saved or restored.
class TkxSaver {
public:
    using TkxPropsEvent = std::function<void(TkxProps&)>;

    // The tag names the stored value; a negative tag takes the window's "tag" property
    // (0 when it has none).
    explicit TkxSaver(QWidget* owner, int tag = -1);

    TkxProps& Props() { return Bag; }
    QWidget* Owner() const { return Window; }
    int Tag() const { return WindowTag; }
    // "Data" and the tag in decimal.
    QString ValueName() const;

    bool Enabled = true;
    TkxPropsEvent OnSave;
    TkxPropsEvent OnLoad;
    TkxPropsEvent OnRestoreFailed;

    // Applies the stored state. Never throws: any failure (nothing stored, text that does not
    // decode or parse, a value that is no number or out of range, a handler asking for a value
    // that is not there) calls OnRestoreFailed with the bag; what was applied before stays.
    void Restore();
    // Stores the window's state. Throws EkxError when the settings can not be written.
    void Save();

    // Placement values beyond these are refused as damaged settings: no screen is that large,
    // and a huge window would exhaust memory when painted.
    static constexpr int MaxCoordinate = 32767;

private:
    bool Active() const { return Enabled && Window && Window->isWindow(); }
    void RestoreSteps();

    QPointer<QWidget> Window;
    int WindowTag = 0;
    TkxProps Bag;
};
