#pragma once

#include <QEvent>
#include <QMainWindow>
#include <QPointer>

#include <exception>
#include <memory>

class TkxSaver;
class QEventLoop;
class QStatusBar;

// Base of every window of the application: the main window, the dialogs and the about box.
// Each keeps its placement and its own values between runs in a window-state store, takes its
// captions from the current language once it is shown (and again on a language change), and
// shows its tool-bar buttons as glyphs with the action's caption as the hint.
//
// The handlers are explicit so that subclasses run them where their own sequence needs them:
// a subclass constructor calls TntFormCreate (the main window only after its splash is up);
// TntFormShow, TntFormCloseQuery and TntFormDestroy are virtual and called by the base at the
// matching moment, and overrides call the base version themselves.
class TfrmAbst : public QMainWindow {
    Q_OBJECT
public:
    // WM_APPLYTEXTS: posted after the window is shown, sent on a language change.
    static QEvent::Type ApplyTextsEvent();

    // `tag` names the stored value ("Data" + tag).
    explicit TfrmAbst(int tag, QWidget* parent = nullptr, Qt::WindowFlags flags = {});
    ~TfrmAbst() override;

    int Tag() const { return WindowTag; }
    // Null before TntFormCreate and after TntFormDestroy.
    TkxSaver* Saver() const { return Store.get(); }
    QStatusBar* sbInfo() const { return InfoBar; }

    // Applies the texts now (what a language change does).
    void SendApplyTexts();

    // Results of a modal run: none yet, OK, Cancel.
    enum : int { mrNone = 0, mrOk = 1, mrCancel = 2 };
    // Shows the window application-modal and runs a local event loop until it closes. Closing
    // it any other way than through SetModalResult (close box, Escape in a dialog, the window
    // system) is a Cancel, as for every modal window.
    int ShowModal();
    int ModalResult() const { return ModalResultValue; }
    // A non-zero result ends a modal run through the close query; a refused close keeps the
    // window open with the result cleared.
    void SetModalResult(int result);

    // Tool-bar buttons bound to an action show only their glyph, with the action's caption as
    // hint and accessible name, so a screen reader still says what a bare glyph does.
    static void UpdateToolbarHints(QObject* root);

protected:
    // Sets every caption, title and filter from the current language.
    virtual void ApplyTexts() = 0;
    // WM_APPLYTEXTS: ApplyTexts, then the tool-bar hints. Dialogs extend it.
    virtual void ApplyTextsMessage();

    // Creates the window-state store, then renews the tool-bar hints.
    void TntFormCreate();
    // Restores the stored state, then posts WM_APPLYTEXTS.
    virtual void TntFormShow();
    // Stores the state when closing is still allowed on entry; never changes canClose.
    virtual void TntFormCloseQuery(bool& canClose);
    // Frees the store. Called from the destructor unless a subclass ran it earlier.
    virtual void TntFormDestroy();

    bool event(QEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void hideEvent(QHideEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    int WindowTag;
    int ModalResultValue = mrNone;
    QPointer<QEventLoop> ModalLoop;
    std::unique_ptr<TkxSaver> Store;
    QStatusBar* InfoBar;
};

// Hands an error caught at an event boundary to the application's errors pane (through
// TkxApplication::ErrorRaised); without one it goes to the log.
void ReportApplicationError(const std::exception& e);
void ReportApplicationError(std::exception_ptr e);
