#pragma once

#include "app/kxAbst.h"
#include "app/kxRecentProjects.h"
#include "app/kxTreeDisplay.h"
#include "engine/kxIconer.h"
#include "engine/kxServices.h"

#include <QDateTime>
#include <QPointer>
#include <QStringList>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QSplitter;
class QTimer;
class QTextEdit;
class QToolBar;
class QToolButton;
class QTreeView;
class QTreeWidget;
class TkxAccounts;
class TkxErrorsPane;
class TkxNetServices;
class TkxProjectDoc;
class TkxProps;
class TkxRecovery;
struct TkxNode;
struct TkxRecoveryInfo;

// The application's main window: a view of one project document (the tree, the queue, the
// parameters and the search state live there), with its commands, the idle handler that enables
// them and packs the tool bar, the status panels, the errors pane, the Languages menu and the
// icon loader. Components carry their design names as object names.
//
// Its members are defined by topic: kxMain.cpp the window's life, texts, status, enabling,
// parameters and languages; kxMainPanes.cpp the actions and the panes; kxMainCommands.cpp the
// commands and their questions; kxMainTree.cpp the tree, the detail list and the icon host;
// kxMainLayout.cpp the stored layout. The errors pane (kxErrorsPane) and the recent projects
// (kxRecentProjects) are units of their own.
class TfrmMain : public TfrmAbst, private TIconHost {
    Q_OBJECT
public:
    struct TOptions {
        bool Splash = true; // the about box for the first second
        // Services new searches use; none: the platform's, which the window makes.
        std::shared_ptr<TkxNetServices> Services;
        // Where the window keeps its recovery file and finds those of windows that did not end
        // cleanly; empty: no recovery file (the program passes the user's state directory).
        QString RecoveryDir = QString();
        int RecoveryIntervalMs = 60000;
    };

    // `args`: the command line without the program; the first names a project to open.
    explicit TfrmMain(const QStringList& args, TOptions options);
    explicit TfrmMain(const QStringList& args = {}) : TfrmMain(args, TOptions{}) {}
    ~TfrmMain() override;

    TkxProjectDoc& Doc() const { return *Project; }
    TIconThread* IconLoader() const { return Loader.get(); }
    const TkxIconList& SystemImages() const { return Images; }

    // --- operations of the window
    void SetTitle(const QString& text);
    void ShowParams();
    void ParamFromEdit(QLineEdit* edit);
    void ShowDetails(const TkxNode* node, bool expanded);
    void SetNodeIcon(TkxNode* node, int index);
    bool HasNodes() const;
    bool HasPendingNodes() const;
    int SelectedLevel() const;
    TkxNode* SelectedNode() const;
    void UpdateStatus();
    // The enabling table and the tool-bar packing; runs whenever the event loop is about to
    // wait.
    void aeMainIdle();
    void BuildLanguageMenu();
    void LanguageItemClick(QAction* item);
    void UpdateLanguageChecks();
    bool HasOtherLanguages() const { return OtherLanguages; }
    int StartCount() const { return Starts; }
    // The errors pane: shown from the first error on; date-time line, message line, empty line.
    void ShowError(const QDateTime& when, const QString& message);
    // A failed task of a search, kept in the errors pane after the thread list has forgotten
    // it; written with the next batch.
    void ShowTaskFailed(const QString& address, const QString& stateText);
    // Writes the failed tasks not shown yet.
    void FlushErrors();

    // The window's modal questions go through these, so that tests can answer them: Yes (true)
    // or No to "Do you want to save the project?"; a project file to open (save false) or to
    // save to, empty when the user cancels.
    std::function<bool()> AskSaveQuestion;
    std::function<QString(bool save)> AskProjectFileName;
    // "Recover the project ...?" at the start, for a window that did not end cleanly: Yes
    // (true) recovers it, No removes its file.
    std::function<bool(const TkxRecoveryInfo&)> AskRecoverQuestion;

    // SIGTERM or SIGHUP: ends the window as a close would, without a question (none could be
    // answered): a running search is stopped, the recovery file written, and the program ends;
    // the next start offers the file.
    void EndBySignal(int signo);
    TkxRecovery* RecoveryFile() const { return Recovery; }

    // The projects opened or saved last, newest first (kept in the settings beside the
    // window's stored state); the File menu lists them.
    static constexpr int RecentProjectCount = TkxRecentProjects::Count;
    QStringList RecentProjects() const;
    void OpenRecentProject(const QString& fileName);

    // --- commands
    void actRunExecute();
    void actContinueExecute();
    void actRescanExecute();
    void actStopExecute();
    void actNewExecute();
    void actOpenExecute();
    void actSaveExecute();
    void actSaveAsExecute();
    void actXMLExecute();
    void actExitExecute();
    void actRAddExecute();
    void actAddTargetsExecute();
    void actRDeleteExecute();
    void actPackExecute();
    void actExecuteExecute();
    void actAbountExecute();
    void actTranslateExecute();
    void actConnectAsExecute();
    void actConnectHostAsExecute();
    void actNetbiosExecute();
    void actAllowSmb1Execute();
    void sbMasksClick();
    // The tree's context menu for a node, which it selects; at: where, in the tree's viewport.
    void tvMainContextPopup(const QModelIndex& index, QPoint at);

    // Who the search connects as, for every host and for single hosts.
    TkxAccounts* Accounts = nullptr;

    // --- components
    QToolBar* tbMain;
    QWidget* tbDev0;
    QToolButton *sbNew, *sbOpen, *sbSave, *sbXML, *sbRAdd, *sbRDelete, *sbPack, *sbExecute, *sbRun,
        *sbContinue, *sbRescan, *sbStop, *sbTranslate;
    // 0-3: pending nodes, search state, progress, icon address; 4: who the search connects as.
    std::array<QLabel*, 5> Panels;
    QWidget *pnl1, *pnl11, *pnl12, *pnl2, *pnl21, *pnl22;
    QSplitter *spl1, *spl2, *spl3;
    QTreeView* tvMain;
    QLabel *lblTotalThreads, *lblDepth, *lblLifeTime, *lblMasks;
    QLineEdit *edtTotalThreads, *edtDepth, *edtLifeTime, *edtMasks;
    // A setting of the program, not of the project: kept in the settings.
    QLabel* lblConnectTimeout;
    QLineEdit* edtConnectTimeout;
    QToolButton *sbMasks, *sbConnectAs;
    QTextEdit* reErrors;
    QTreeWidget* lvDir;
    QTreeView* lvThreads;
    QMenu *miFile, *miRange, *miSearch, *miLang;
    QMenu* pmTree; // a host node's context menu
    // The File menu's recent projects (hidden when unused) and the separator above them.
    std::array<QAction*, RecentProjectCount> miRecent;
    QAction* miRecentSeparator;
    QAction *actRun, *actContinue, *actRescan, *actStop, *actNew, *actOpen, *actSave, *actSaveAs,
        *actExit, *actXML, *actRAdd, *actAddTargets, *actRDelete, *actPack, *actExecute, *actAbount,
        *actTranslate, *actConnectAs, *actConnectHostAs;
    // Checkable: NetBIOS names where DNS has none, servers that speak only SMB1.
    QAction *actNetbios, *actAllowSmb1;

protected:
    void ApplyTexts() override;
    void TntFormShow() override;
    void TntFormCloseQuery(bool& canClose) override;
    void TntFormDestroy() override;
    void resizeEvent(QResizeEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    // TIconHost, on this thread through the loader's bridge.
    QObject* BridgeTarget() const override;
    TkxIconWork HostIconWork(TkxNode* from, quint64 generation, int maxNodes) override;
    void HostSetNodeIcons(const std::vector<std::pair<TkxNode*, QString>>& icons,
                          quint64 generation) override;
    void HostIconStatus(const QString& text) override;

    void BuildActions();
    void BuildComponents();
    void BuildToolBar();
    void BuildMenus();
    void BuildStatusPanels();
    QWidget* BuildTreePane();
    QWidget* BuildParamsPanel();
    QWidget* BuildListPanes();
    void BindTreeView();
    // The parameter labels wrap at word boundaries: their column is at least as wide as their
    // longest word and each row at least as tall as its wrapped label (the errors pane keeps a
    // few lines), so neither language's labels are ever clipped, however narrow the pane.
    void FitParamRows();
    void BindDocument();
    void TntFormCreate(const QStringList& args, bool splash);
    void TntFormResize();
    void edtParamChange(QLineEdit* edit);
    void edtParamExit();
    void tvMainClick(const QModelIndex& index);
    void StatusChanged();
    void ShowStatus();
    void ShowAccount();
    // The choices of the Search menu to the services and into the settings.
    void ApplyNetOptions();
    // A status panel's text; screen readers hear the panel as "role: text", kept current.
    void SetPanelText(size_t panel, const QString& text);
    void NamePanel(size_t panel);
    void WakeIconLoader();
    // Before a search: an account still without its password is asked for; false when the
    // user cancels, which cancels the search.
    bool AskMissingPasswords();
    // Runs a command; an error ends it and lands in the errors pane.
    template <class F> void Command(F&& body);
    // Texts and filters of the project file dialogs come from the current language.
    QString ProjectFileDialog(bool save);
    bool SaveQuestionBox();
    bool RecoverQuestionBox(const TkxRecoveryInfo& info);
    // At the first show: the recovery files of windows that did not end cleanly, newest first.
    void OfferRecovery();
    // Every way of opening a project ends here: the start, Open and the recent projects. The
    // caller has asked about unsaved changes.
    void OpenProject(const QString& fileName);

    void SaveProps(TkxProps& props);
    void LoadProps(TkxProps& props);
    void DefaultLayout(TkxProps& props);
    void ApplyPaneSizes();

    std::unique_ptr<TkxProjectDoc> Project;
    TkxNetOptions NetOptions;
    TkxIconList Images;
    TkxTreeDisplayModel* TreeDisplay = nullptr;
    std::unique_ptr<TkxBridgeTarget> IconBridge;
    std::unique_ptr<TIconThread> Loader;
    std::vector<std::pair<QToolButton*, QAction*>> ToolButtons; // button, its place in the bar
    std::vector<QLineEdit*> ParamEdits;
    std::shared_ptr<TkxNetServices> Services;
    int ConnectTimeoutMs = 1000;
    QPointer<QWidget> Splash;
    bool OtherLanguages = false;
    int Starts = 0;
    QTimer* StatusTimer = nullptr;
    TkxErrorsPane* Errors = nullptr;
    TkxRecovery* Recovery = nullptr; // with a recovery directory only
    bool RecoveryOffered = false;
    bool Ending = false;
    TkxRecentProjects* Recent = nullptr;
    int ShownState = -1;
    bool ShowingParams = false;
    bool EditingParams = false;
    // Pane sizes to apply once the window has its size: left width, parameters height,
    // details height.
    std::optional<std::array<int, 3>> PaneSizes;
    // The default layout's columns share the lists' width as it is once the panes are placed.
    bool DefaultColumns = false;
};

template <class F> void TfrmMain::Command(F&& body) {
    try {
        body();
    } catch (...) {
        ReportApplicationError(std::current_exception());
    }
}
