// The main window's life (set-up, show, close, destroy), its texts, status, enabling,
// parameters and languages. kxMain.h says where the other topics are.

#include "app/kxMain.h"

#include "app/kxApplication.h"
#include "app/kxErrorsPane.h"
#include "app/kxSaverWindow.h"
#include "dialogs/kxAbout.h"
#include "dialogs/kxMasks.h"
#include "document/kxAccounts.h"
#include "document/kxNetChoices.h"
#include "document/kxProjectDoc.h"
#include "document/kxRecovery.h"
#include "lang/kxExtraTexts.h"
#include "lang/kxLanguages.h"
#include "platform/kxDesktop.h"
#include "platform/kxPlatformServices.h"

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QScopeGuard>
#include <QSettings>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>

namespace {

constexpr int SplashMs = 1000;

void SetEnabled(QAction* action, bool enabled) {
    if (action->isEnabled() != enabled)
        action->setEnabled(enabled);
}

void SetEnabled(QWidget* widget, bool enabled) {
    if (widget->isEnabled() != enabled)
        widget->setEnabled(enabled);
}

// A command's caption as the name of a button that opens it.
QString WithoutEllipsis(QString caption) {
    if (caption.endsWith(QStringLiteral("...")))
        caption.chop(3);
    return caption.trimmed();
}

// The one place the window makes the platform's services, unless it was handed others.
std::shared_ptr<TkxNetServices> NetServicesOf(const TfrmMain::TOptions& options) {
    if (options.Services)
        return options.Services;
    return std::make_shared<TkxPlatformServices>();
}

const QString ConnectTimeoutKey = QStringLiteral("ConnectTimeout");

QSettings Settings() {
    return QSettings(QStringLiteral("KX"), QStringLiteral("Orvane"));
}

} // namespace

TfrmMain::TfrmMain(const QStringList& args, TOptions options)
    : TfrmAbst(0), Project(std::make_unique<TkxProjectDoc>()),
      IconBridge(std::make_unique<TkxBridgeTarget>()) {
    setObjectName(QStringLiteral("frmMain"));
    // One set of services: the accounts hand them the credentials the searches use.
    Services = NetServicesOf(options);
    Project->SetNetServices(Services);
    NetOptions = LoadNetOptions();
    Services->SetNetOptions(NetOptions);
    Accounts = new TkxAccounts(this);
    Accounts->Load();
    Accounts->SetNetServices(Services);
    {
        // Settings edited by hand: a value out of range is the default.
        bool ok = false;
        const int ms = Settings().value(ConnectTimeoutKey).toInt(&ok);
        if (ok && ms >= TkxHostScreen::MinLimit.count() && ms <= TkxHostScreen::MaxLimit.count())
            ConnectTimeoutMs = ms;
        Services->SetConnectTimeout(std::chrono::milliseconds(ConnectTimeoutMs));
    }
    AskSaveQuestion = [this] { return SaveQuestionBox(); };
    AskProjectFileName = [this](bool save) { return ProjectFileDialog(save); };
    AskRecoverQuestion = [this](const TkxRecoveryInfo& info) { return RecoverQuestionBox(info); };
    BuildActions();
    BuildComponents();
    BindDocument();
    if (!options.RecoveryDir.isEmpty()) {
        Recovery = new TkxRecovery(Project.get(), options.RecoveryDir, this);
        Recovery->SetIntervalMs(options.RecoveryIntervalMs);
        connect(Recovery, &TkxRecovery::Problem, this, [this](const QString& message) {
            ShowError(QDateTime::currentDateTime(), message);
        });
    }
    TntFormCreate(args, options.Splash);
}

TfrmMain::~TfrmMain() {
    if (Saver() || Project)
        TntFormDestroy();
}

void TfrmMain::BindDocument() {
    TkxProjectDoc* doc = Project.get();
    StatusTimer = new QTimer(this);
    StatusTimer->setSingleShot(true);
    StatusTimer->setInterval(TkxThreadListModel::RepaintMs);
    connect(StatusTimer, &QTimer::timeout, this, [this] { ShowStatus(); });
    connect(doc, &TkxProjectDoc::StatusChanged, this, [this] { StatusChanged(); });
    connect(doc, &TkxProjectDoc::ProgressChanged, this,
            [this](const QString& text) { SetPanelText(2, text); });
    connect(doc, &TkxProjectDoc::ParamsChanged, this, [this] {
        if (!EditingParams)
            ShowParams();
    });
    doc->AskSaveQuestion = [this] { return AskSaveQuestion && AskSaveQuestion(); };
    doc->AskFileName = [this] { return AskProjectFileName ? AskProjectFileName(true) : QString(); };
    connect(doc, &TkxProjectDoc::LongOperationChanged, this, [](bool running) {
        if (running)
            QApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QApplication::restoreOverrideCursor();
    });
    connect(doc, &TkxProjectDoc::ProjectFileDone, Recent, &TkxRecentProjects::Add);
    connect(doc, &TkxProjectDoc::TaskFailed, this, &TfrmMain::ShowTaskFailed);
    // The pane is complete when the search is over.
    connect(doc, &TkxProjectDoc::ManagersIdle, this, [this] { FlushErrors(); });
    connect(Accounts, &TkxAccounts::Changed, this, [this] { ShowAccount(); });
    connect(doc, &TkxProjectDoc::SearchStarting, Accounts, &TkxAccounts::Reapply);

    // Whatever may give a node an icon to fetch wakes the loader.
    QAbstractItemModel* tree = doc->TreeViewModel();
    connect(tree, &QAbstractItemModel::rowsInserted, this, [this] { WakeIconLoader(); });
    connect(tree, &QAbstractItemModel::dataChanged, this, [this] { WakeIconLoader(); });
    connect(tree, &QAbstractItemModel::modelReset, this, [this] {
        lvDir->clear();
        WakeIconLoader();
    });

    if (TkxApplication* app = TkxApplication::Instance())
        connect(app, &TkxApplication::ErrorRaised, this, &TfrmMain::ShowError);
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(thread()))
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                [this] { aeMainIdle(); });
}

void TfrmMain::TntFormCreate(const QStringList& args, bool splash) {
    QElapsedTimer shown;
    shown.start();
    if (splash) {
        try {
            auto* about = new TdlgAbout(this);
            about->show();
            Splash = about;
        } catch (...) {
            ReportApplicationError(std::current_exception());
        }
    }
    // The splash goes when the second is over, also when a step below fails; the window is
    // never blocked for it.
    const auto endSplash = qScopeGuard([this, &shown] {
        if (Splash)
            QTimer::singleShot(std::max<qint64>(0, SplashMs - shown.elapsed()), Splash.data(),
                               [s = Splash] {
                                   if (s)
                                       s->deleteLater();
                               });
    });
    try {
        TfrmAbst::TntFormCreate();
        Project->SetSearchState(srNone);
        Loader = std::make_unique<TIconThread>(static_cast<TIconHost*>(this));
        Loader->Start();
        SetTitle(QStringLiteral("Orvane"));
        Project->SetModified(false);
        Saver()->OnSave = [this](TkxProps& p) { SaveProps(p); };
        Saver()->OnLoad = [this](TkxProps& p) { LoadProps(p); };
        Saver()->OnRestoreFailed = [this](TkxProps& p) { DefaultLayout(p); };
        RegisterFileAssociation();
        if (args.isEmpty()) {
            Project->NewProject();
            Project->AddRange(QStringLiteral("127.0.0.1"),
                              QStringLiteral("%1 - %2").arg(QStringLiteral("127.0.0.1"),
                                                            QStringLiteral("127.0.0.1")));
            Project->SetModified(false);
        } else {
            OpenProject(args.front());
        }
    } catch (...) {
        ReportApplicationError(std::current_exception());
    }
    // Whatever the steps above did, the edits show the document's values, never blanks.
    ShowParams();
}

void TfrmMain::TntFormShow() {
    TfrmAbst::TntFormShow();
    BuildLanguageMenu();
    UpdateStatus();
    // Asked once the window is up and its language is known.
    if (Recovery && !RecoveryOffered) {
        RecoveryOffered = true;
        QTimer::singleShot(0, this, [this] { OfferRecovery(); });
    }
}

void TfrmMain::EndBySignal(int signo) {
    if (Ending || !Project)
        return;
    // Reading, writing or packing the tree, or waiting for a stopped search: end right after.
    if (Project->InLongOperation() || Project->IsWaiting()) {
        QTimer::singleShot(100, this, [this, signo] { EndBySignal(signo); });
        return;
    }
    Ending = true;
    Command([&] {
        // The window's placement and layout are stored as a close stores them.
        bool canClose = true;
        TfrmAbst::TntFormCloseQuery(canClose);
        if (Project->IsSearching())
            Project->Stop();
        Project->WaitForManagers();
        if (Recovery)
            Recovery->WriteAndKeep();
    });
    // Ends every event loop, a modal dialog's too.
    QCoreApplication::exit(0);
}

void TfrmMain::TntFormCloseQuery(bool& canClose) {
    TfrmAbst::TntFormCloseQuery(canClose);
    if (!canClose)
        return;
    // A search must be stopped first; so must the wait for a stopped one and a long operation
    // on the tree, which run inside a command while events go on.
    if (Project->IsSearching() || Project->IsWaiting() || Project->InLongOperation()) {
        canClose = false;
        return;
    }
    canClose = Project->QuerySave(true);
}

void TfrmMain::TntFormDestroy() {
    // The loader is detached and its queued calls dropped before waiting for it: a call it is
    // blocked in is released with the neutral result, so the wait cannot hang.
    if (Loader) {
        Loader->SetMainWindow(nullptr);
        Loader->Terminate();
        IconBridge.reset();
        Loader->wait();
        Loader.reset();
    }
    Accounts->disconnect(this);
    // A normal end takes the recovery file along; an end by a signal has kept it.
    delete std::exchange(Recovery, nullptr);
    if (Project) {
        Project->disconnect(this);
        Project->TreeViewModel()->disconnect(this);
        tvMain->setModel(nullptr);
        TreeDisplay->setSourceModel(nullptr);
        QAbstractItemModel* threadList = lvThreads->model();
        lvThreads->setModel(nullptr);
        delete threadList;
        // Lets go of a running manager and cuts it off.
        Project.reset();
    }
    TfrmAbst::TntFormDestroy();
}

// --- texts

void TfrmMain::ApplyTexts() {
    TkxThreadRowsModel* rows = static_cast<TkxThreadRowsModel*>(Project->ThreadRowsViewModel());
    const TTextId threadColumns[] = {txtThreadId, txtThreadWorksCount, txtThreadLastStartTime,
                                     txtThreadState, txtThreadWorkAddress};
    for (int i = 0; i < 5; ++i)
        rows->setHeaderData(i, Qt::Horizontal, CurrentText(threadColumns[i]));
    lvDir->setHeaderLabels({TextFileName(), TextFileAddress(), TextCreateDate(), TextLastEditDate(),
                            TextLastAccessDate(), TextSize()});
    miSearch->setTitle(TextSearch());
    actRun->setText(TextRun());
    actContinue->setText(TextContinue());
    actRescan->setText(TextResearchFromCurrent());
    actStop->setText(TextStop());
    miFile->setTitle(TextFile());
    actNew->setText(TextNew());
    actOpen->setText(TextOpen());
    actSave->setText(TextSave());
    actXML->setText(QStringLiteral("xml").toUpper());
    actSaveAs->setText(TextSaveAs());
    actExit->setText(TextExit());
    miRange->setTitle(TextTree());
    actRAdd->setText(TextAdd());
    actAddTargets->setText(TextAddTargets());
    actRDelete->setText(TextDelete());
    actPack->setText(TextPack());
    actExecute->setText(TextOpenFileWith());
    lblTotalThreads->setText(TextMaxThreads());
    lblConnectTimeout->setText(TextConnectTimeout());
    lblDepth->setText(TextMaxFoldersDepth());
    lblLifeTime->setText(TextMaxThreadLife());
    lblMasks->setText(TextMasks());
    FitParamRows();
    miLang->setTitle(TextLanguages());
    actTranslate->setText(TextTranslateRequest());
    actConnectAs->setText(TextConnectAs());
    actConnectHostAs->setText(TextConnectHostAs());
    actNetbios->setText(TextNetbiosNames());
    actAllowSmb1->setText(TextAllowSmb1());

    // Names for screen readers, in the same language.
    tvMain->setAccessibleName(AccessibleText(TkxAccessibleText::ResultTree));
    lvDir->setAccessibleName(AccessibleText(TkxAccessibleText::Details));
    lvThreads->setAccessibleName(AccessibleText(TkxAccessibleText::Threads));
    reErrors->setAccessibleName(AccessibleText(TkxAccessibleText::Errors));
    pnl12->setAccessibleName(AccessibleText(TkxAccessibleText::Parameters));
    const std::pair<QLineEdit*, QLabel*> edits[] = {{edtTotalThreads, lblTotalThreads},
                                                    {edtConnectTimeout, lblConnectTimeout},
                                                    {edtDepth, lblDepth},
                                                    {edtLifeTime, lblLifeTime},
                                                    {edtMasks, lblMasks}};
    for (const auto& [edit, label] : edits)
        edit->setAccessibleName(label->text());
    sbMasks->setAccessibleName(TextMasks());
    const QString connectAs = WithoutEllipsis(TextConnectAs());
    sbConnectAs->setToolTip(connectAs);
    sbConnectAs->setAccessibleName(connectAs);
    for (size_t i = 0; i < Panels.size(); ++i)
        NamePanel(i);
    ShowAccount();
    actAbount->setToolTip(QStringLiteral("Orvane"));
    UpdateStatus();
}

// --- status

void TfrmMain::SetTitle(const QString& text) {
    setWindowTitle(text);
}

void TfrmMain::UpdateStatus() {
    if (Project)
        Project->UpdateStatus();
}

void TfrmMain::StatusChanged() {
    // While a search runs, the queue's length changes after every pass of the manager: it is
    // shown a few times a second, a new state at once.
    if (Project->IsSearching() && Project->SearchState() == ShownState) {
        if (!StatusTimer->isActive())
            StatusTimer->start();
        return;
    }
    ShowStatus();
}

void TfrmMain::ShowStatus() {
    StatusTimer->stop();
    if (!Project)
        return;
    try {
        SetPanelText(0, QString::number(Project->PendingCount()));
        SetPanelText(1, Project->StatusStateText());
        SetTitle(Project->CaptionText());
        ShownState = Project->SearchState();
    } catch (...) {
        // A refresh never fails.
    }
}

void TfrmMain::ShowAccount() {
    SetPanelText(4, Accounts->StatusText());
}

void TfrmMain::SetPanelText(size_t panel, const QString& text) {
    if (Panels[panel]->text() == text)
        return;
    Panels[panel]->setText(text);
    NamePanel(panel);
}

void TfrmMain::NamePanel(size_t panel) {
    // A label with a name of its own is heard by that name alone: the name carries the value.
    static const TkxAccessibleText roles[] = {
        TkxAccessibleText::PendingNodes, TkxAccessibleText::SearchState,
        TkxAccessibleText::Progress, TkxAccessibleText::IconAddress, TkxAccessibleText::Account};
    const QString role = AccessibleText(roles[panel]);
    const QString text = Panels[panel]->text();
    const QString name = text.isEmpty() ? role : QStringLiteral("%1: %2").arg(role, text);
    if (Panels[panel]->accessibleName() != name)
        Panels[panel]->setAccessibleName(name);
}

void TfrmMain::ShowError(const QDateTime& when, const QString& message) {
    Errors->ShowError(when, message);
}

void TfrmMain::ShowTaskFailed(const QString& address, const QString& stateText) {
    Errors->ShowTaskFailed(address, stateText);
}

void TfrmMain::FlushErrors() {
    Errors->Flush();
}

QStringList TfrmMain::RecentProjects() const {
    return Recent->Files();
}

// --- enabling

bool TfrmMain::HasNodes() const {
    return Project && Project->Tree().HasNodes();
}

bool TfrmMain::HasPendingNodes() const {
    return Project && Project->HasPendingNodes();
}

TkxNode* TfrmMain::SelectedNode() const {
    if (!Project || !tvMain->selectionModel())
        return nullptr;
    const QModelIndexList selected = tvMain->selectionModel()->selectedIndexes();
    if (selected.isEmpty())
        return nullptr;
    return Project->Tree().NodeOf(TreeDisplay->mapToSource(selected.front()));
}

int TfrmMain::SelectedLevel() const {
    const TkxNode* node = SelectedNode();
    return node ? node->Level() : -1;
}

void TfrmMain::aeMainIdle() {
    if (!Project)
        return;
    const bool searching = Project->IsSearching();
    // A stopped search still winding up counts as running: what would wait for it waits
    // until it has ended, with the window free meanwhile.
    const bool free = !Project->IsBusy() && !Project->IsWaiting();
    const bool nodes = HasNodes();
    const bool selected = SelectedLevel() >= 0;
    SetEnabled(actRun, nodes && free);
    SetEnabled(actContinue, nodes && free && HasPendingNodes());
    SetEnabled(actStop, searching);
    for (QAction* a :
         {actNew, actOpen, actSaveAs, actXML, actExit, actRAdd, actAddTargets, actPack})
        SetEnabled(a, free);
    SetEnabled(actSave, Project->Modified() && free);
    for (QAction* item : miRecent)
        SetEnabled(item, free);
    SetEnabled(actRDelete, free && selected);
    SetEnabled(actRescan, free && selected);
    SetEnabled(actExecute, selected);
    for (QLineEdit* e : ParamEdits)
        SetEnabled(e, free);
    SetEnabled(sbMasks, free);
    SetEnabled(actAbount, true);
    SetEnabled(actTranslate, free && OtherLanguages);
    // A search keeps the credentials it started with.
    SetEnabled(actConnectAs, free);
    SetEnabled(actNetbios, free);
    SetEnabled(actAllowSmb1, free);
    const TkxNode* node = SelectedNode();
    SetEnabled(actConnectHostAs, free && node && node->Info.Kind == ikHost);

    // Only enabled buttons show, side by side in their design order: the bar's layout packs
    // the visible ones.
    for (const auto& [button, place] : ToolButtons) {
        const bool enabled = button->defaultAction()->isEnabled();
        if (place->isVisible() != enabled)
            place->setVisible(enabled);
    }
}

// --- parameters

void TfrmMain::ShowParams() {
    if (!Project)
        return;
    const TkxParams& p = Project->Params();
    ShowingParams = true;
    const auto done = qScopeGuard([this] { ShowingParams = false; });
    edtTotalThreads->setText(QString::number(p.TotalThreads));
    edtConnectTimeout->setText(QString::number(ConnectTimeoutMs));
    edtDepth->setText(QString::number(p.Depth));
    edtLifeTime->setText(QString::number(p.LifeTime));
    edtMasks->setText(p.Masks);
}

void TfrmMain::ParamFromEdit(QLineEdit* edit) {
    TkxParams p = Project->Params();
    const TkxParams defaults = DefaultParams();
    auto number = [&](quint32 fallback) {
        bool ok = false;
        const qlonglong value = edit->text().toLongLong(&ok, 10);
        return ok ? quint32(quint64(value) & 0xFFFFFFFFu) : fallback;
    };
    if (edit == edtTotalThreads)
        p.TotalThreads = number(defaults.TotalThreads);
    else if (edit == edtDepth)
        p.Depth = number(defaults.Depth);
    else if (edit == edtLifeTime)
        p.LifeTime = number(defaults.LifeTime);
    else if (edit == edtMasks)
        p.Masks = edit->text();
    else
        return;
    EditingParams = true;
    const auto done = qScopeGuard([this] { EditingParams = false; });
    Project->SetParams(p);
}

void TfrmMain::edtParamChange(QLineEdit* edit) {
    if (edit == edtConnectTimeout) {
        // Taken only once it is a time-out that can be kept; leaving the edit shows what is.
        bool ok = false;
        const qlonglong ms = edit->text().trimmed().toLongLong(&ok, 10);
        if (!ok || ms < TkxHostScreen::MinLimit.count() || ms > TkxHostScreen::MaxLimit.count())
            return;
        ConnectTimeoutMs = int(ms);
        Services->SetConnectTimeout(std::chrono::milliseconds(ms));
        Settings().setValue(ConnectTimeoutKey, ConnectTimeoutMs);
        return;
    }
    Command([&] {
        Project->SetModified(true);
        ParamFromEdit(edit);
    });
}

void TfrmMain::edtParamExit() {
    ShowParams();
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* e) {
    if (watched == pnl12 && e->type() == QEvent::Resize)
        FitParamRows();
    const bool menuKey = e->type() == QEvent::KeyPress &&
                         static_cast<QKeyEvent*>(e)->key() == Qt::Key_F10 &&
                         static_cast<QKeyEvent*>(e)->modifiers() == Qt::ShiftModifier;
    const bool menu = e->type() == QEvent::ContextMenu;
    if ((menuKey || menu) && (watched == tvMain || watched == tvMain->viewport())) {
        // A key press is no context-menu event: cast only what is one.
        const auto* request = menu ? static_cast<QContextMenuEvent*>(e) : nullptr;
        if (request && request->reason() == QContextMenuEvent::Mouse) {
            const QPoint at = watched == tvMain
                                  ? tvMain->viewport()->mapFrom(tvMain, request->pos())
                                  : request->pos();
            tvMainContextPopup(tvMain->indexAt(at), at);
        } else {
            const QModelIndex current = tvMain->currentIndex();
            tvMainContextPopup(current, tvMain->visualRect(current).center());
        }
        return true;
    }
    if (e->type() == QEvent::FocusOut &&
        std::find(ParamEdits.begin(), ParamEdits.end(), watched) != ParamEdits.end())
        edtParamExit();
    return TfrmAbst::eventFilter(watched, e);
}

void TfrmMain::sbMasksClick() {
    Command([&] {
        const QString masks = EditMasks(this, edtMasks->text());
        if (masks != edtMasks->text()) {
            edtMasks->setText(masks);
            edtParamChange(edtMasks);
        }
    });
}

// --- languages

void TfrmMain::BuildLanguageMenu() {
    miLang->clear();
    auto add = [this](quint32 language) {
        QAction* item = miLang->addAction(NativeLanguageName(language));
        item->setCheckable(true);
        item->setData(language);
        connect(item, &QAction::triggered, this, [this, item] { LanguageItemClick(item); });
    };
    for (quint32 language : BuiltInLanguages())
        add(language);
    const TDWordArray others = OtherKeyboardLanguages();
    OtherLanguages = !others.empty();
    if (OtherLanguages) {
        miLang->addSeparator()->setData(0u);
        for (quint32 language : others)
            add(language);
    }
    UpdateLanguageChecks();
}

void TfrmMain::LanguageItemClick(QAction* item) {
    if (!item || !miLang->actions().contains(item) || item->isSeparator())
        return;
    SetCurrentLanguage(item->data().toUInt());
    UpdateLanguageChecks();
    SendApplyTexts();
}

void TfrmMain::UpdateLanguageChecks() {
    for (QAction* item : miLang->actions())
        if (item->isCheckable())
            item->setChecked(item->data().toUInt() == CurrentLanguage());
}
