#include "app/kxMain.h"

#include "app/kxAccounts.h"
#include "app/kxApplication.h"
#include "document/kxProjectDoc.h"
#include "app/kxSaverWindow.h"
#include "dialogs/kxAbout.h"
#include "dialogs/kxMasks.h"
#include "dialogs/kxRange.h"
#include "lang/kxLanguages.h"
#include "lang/kxTranslate.h"
#include "model/kxErrors.h"
#include "platform/kxDesktop.h"
#include "platform/kxPlatformServices.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

constexpr int SplashMs = 1000;
constexpr int MaxErrorBatch = 256; // errors written to the pane at once, a few milliseconds

QWidget* Panel(const char* name, QWidget* parent = nullptr) {
    auto* w = new QWidget(parent);
    w->setObjectName(QLatin1String(name));
    return w;
}

QSplitter* Splitter(const char* name, Qt::Orientation orientation) {
    auto* s = new QSplitter(orientation);
    s->setObjectName(QLatin1String(name));
    s->setChildrenCollapsible(false);
    return s;
}

// A widget filling a panel without margins.
void Fill(QWidget* panel, QWidget* content) {
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(content);
}

void SetEnabled(QAction* action, bool enabled) {
    if (action->isEnabled() != enabled)
        action->setEnabled(enabled);
}

void SetEnabled(QWidget* widget, bool enabled) {
    if (widget->isEnabled() != enabled)
        widget->setEnabled(enabled);
}

// The save question has two answers. Escape or the close box would count as No and drop the
// changes of a user who only meant to back out, so the box waits for Yes or No.
class TSaveQuestionBox : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

protected:
    void keyPressEvent(QKeyEvent* e) override {
        if (e->key() == Qt::Key_Escape)
            e->accept();
        else
            QMessageBox::keyPressEvent(e);
    }
    void closeEvent(QCloseEvent* e) override { e->ignore(); }
};

const QString RecentProjectsKey = QStringLiteral("RecentProjects");

QSettings WindowSettings() {
    return QSettings(QStringLiteral("KX"), QStringLiteral("Orvane"));
}

// A command's caption as the name of a button that opens it.
QString WithoutEllipsis(QString caption) {
    if (caption.endsWith(QStringLiteral("...")))
        caption.chop(3);
    return caption.trimmed();
}

int PropInt(const TkxProps& props, int i) {
    bool ok = false;
    const int value = props.Items(i).toString().trimmed().toInt(&ok);
    if (!ok)
        throw EkxError(
            QStringLiteral("Props: '%1' is not a number").arg(props.Items(i).toString()));
    return value;
}

} // namespace

TfrmMain::TfrmMain(const QStringList& args, TOptions options)
    : TfrmAbst(0), Project(std::make_unique<TkxProjectDoc>()),
      IconBridge(std::make_unique<TkxBridgeTarget>()) {
    setObjectName(QStringLiteral("frmMain"));
    // One set of services: the accounts hand them the credentials the searches use.
    const std::shared_ptr<TkxNetServices> services =
        options.Services ? options.Services : std::make_shared<TkxPlatformServices>();
    Project->SetNetServices(services);
    Accounts = new TkxAccounts(this);
    Accounts->Load();
    Accounts->SetNetServices(services);
    AskSaveQuestion = [this] { return SaveQuestionBox(); };
    AskProjectFileName = [this](bool save) { return ProjectFileDialog(save); };
    BuildActions();
    BuildComponents();
    BindDocument();
    TntFormCreate(args, options.Splash);
}

TfrmMain::~TfrmMain() {
    if (Saver() || Project)
        TntFormDestroy();
}

// --- set-up

void TfrmMain::BuildActions() {
    struct TDef {
        QAction** Action;
        const char* Name;
        const char* Icon;
        QStyle::StandardPixmap Fallback;
        void (TfrmMain::*Handler)();
    };
    const TDef defs[] = {
        {&actRun, "actRun", "media-playback-start", QStyle::SP_MediaPlay, &TfrmMain::actRunExecute},
        {&actContinue, "actContinue", "media-seek-forward", QStyle::SP_MediaSeekForward,
         &TfrmMain::actContinueExecute},
        {&actRescan, "actRescan", "view-refresh", QStyle::SP_BrowserReload,
         &TfrmMain::actRescanExecute},
        {&actStop, "actStop", "media-playback-stop", QStyle::SP_MediaStop,
         &TfrmMain::actStopExecute},
        {&actNew, "actNew", "document-new", QStyle::SP_FileIcon, &TfrmMain::actNewExecute},
        {&actOpen, "actOpen", "document-open", QStyle::SP_DialogOpenButton,
         &TfrmMain::actOpenExecute},
        {&actSave, "actSave", "document-save", QStyle::SP_DialogSaveButton,
         &TfrmMain::actSaveExecute},
        {&actSaveAs, "actSaveAs", nullptr, QStyle::SP_CustomBase, &TfrmMain::actSaveAsExecute},
        {&actExit, "actExit", nullptr, QStyle::SP_CustomBase, &TfrmMain::actExitExecute},
        {&actXML, "actXML", "document-send", QStyle::SP_FileDialogDetailedView,
         &TfrmMain::actXMLExecute},
        {&actRAdd, "actRAdd", "list-add", QStyle::SP_FileDialogNewFolder,
         &TfrmMain::actRAddExecute},
        {&actRDelete, "actRDelete", "list-remove", QStyle::SP_TrashIcon,
         &TfrmMain::actRDeleteExecute},
        {&actPack, "actPack", "edit-clear-all", QStyle::SP_DialogResetButton,
         &TfrmMain::actPackExecute},
        {&actExecute, "actExecute", "system-run", QStyle::SP_CommandLink,
         &TfrmMain::actExecuteExecute},
        {&actAbount, "actAbount", nullptr, QStyle::SP_CustomBase, &TfrmMain::actAbountExecute},
        {&actTranslate, "actTranslate", "preferences-desktop-locale",
         QStyle::SP_MessageBoxInformation, &TfrmMain::actTranslateExecute},
        // No style glyph says "user": without the theme's the button shows its caption.
        {&actConnectAs, "actConnectAs", "avatar-default", QStyle::SP_CustomBase,
         &TfrmMain::actConnectAsExecute},
        {&actConnectHostAs, "actConnectHostAs", nullptr, QStyle::SP_CustomBase,
         &TfrmMain::actConnectHostAsExecute},
    };
    for (const TDef& d : defs) {
        auto* a = new QAction(this);
        a->setObjectName(QLatin1String(d.Name));
        if (d.Icon) {
            QIcon icon = ThemeIcon(QLatin1String(d.Icon));
            if (icon.isNull() && d.Fallback != QStyle::SP_CustomBase)
                icon = style()->standardIcon(d.Fallback);
            a->setIcon(icon);
        }
        a->setEnabled(false);
        connect(a, &QAction::triggered, this, [this, h = d.Handler] { (this->*h)(); });
        *d.Action = a;
    }
    actAbount->setText(QStringLiteral("?"));
    actAbount->setEnabled(true);
}

void TfrmMain::BuildComponents() {
    // Tool bar: the separator, then the thirteen buttons in their design order.
    tbMain = addToolBar(QString());
    tbMain->setObjectName(QStringLiteral("tbMain"));
    tbMain->setMovable(false);
    tbMain->setFloatable(false);
    tbMain->setIconSize(QSize(16, 16));
    tbDev0 = Panel("tbDev0");
    tbDev0->setFixedWidth(8);
    tbMain->addWidget(tbDev0);
    const std::pair<QToolButton**, QAction*> buttons[] = {{&sbNew, actNew},
                                                          {&sbOpen, actOpen},
                                                          {&sbSave, actSave},
                                                          {&sbXML, actXML},
                                                          {&sbRAdd, actRAdd},
                                                          {&sbRDelete, actRDelete},
                                                          {&sbPack, actPack},
                                                          {&sbExecute, actExecute},
                                                          {&sbRun, actRun},
                                                          {&sbContinue, actContinue},
                                                          {&sbRescan, actRescan},
                                                          {&sbStop, actStop},
                                                          {&sbTranslate, actTranslate}};
    for (const auto& [button, action] : buttons) {
        auto* b = new QToolButton;
        b->setObjectName(QStringLiteral("sb") + action->objectName().mid(3));
        b->setDefaultAction(action);
        b->setAutoRaise(true);
        QAction* place = tbMain->addWidget(b);
        ToolButtons.emplace_back(b, place);
        *button = b;
    }

    // Menus.
    miFile = menuBar()->addMenu(QString());
    miFile->setObjectName(QStringLiteral("miFile"));
    miFile->addActions({actNew, actOpen, actSave, actSaveAs, actXML});
    miRecentSeparator = miFile->addSeparator();
    for (size_t i = 0; i < miRecent.size(); ++i) {
        QAction* item = miFile->addAction(QString());
        item->setObjectName(QStringLiteral("miRecent%1").arg(i + 1));
        connect(item, &QAction::triggered, this,
                [this, item] { OpenRecentProject(item->data().toString()); });
        miRecent[i] = item;
    }
    ShowRecentProjects();
    miFile->addSeparator();
    miFile->addAction(actExit);
    miRange = menuBar()->addMenu(QString());
    miRange->setObjectName(QStringLiteral("miRange"));
    miRange->addActions({actRAdd, actRDelete, actPack, actExecute});
    miSearch = menuBar()->addMenu(QString());
    miSearch->setObjectName(QStringLiteral("miSearch"));
    miSearch->addActions({actRun, actContinue, actRescan, actStop});
    miSearch->addSeparator();
    miSearch->addAction(actConnectAs);
    miLang = menuBar()->addMenu(QString());
    miLang->setObjectName(QStringLiteral("miLang"));
    menuBar()->addAction(actAbount);

    // Status panels 0-3: pending nodes, search state, progress, icon address; then who the
    // search connects as, as wide as its text.
    for (int i = 0; i < int(Panels.size()); ++i) {
        auto* label = new QLabel;
        label->setObjectName(QStringLiteral("sbInfoPanel%1").arg(i));
        label->setFrameShape(QFrame::StyledPanel);
        label->setFrameShadow(QFrame::Sunken);
        label->setTextFormat(Qt::PlainText);
        sbInfo()->addWidget(label, i == 3 ? 1 : 0);
        Panels[size_t(i)] = label;
    }

    // Left pane: the tree over the parameters panel.
    tvMain = new QTreeView;
    tvMain->setObjectName(QStringLiteral("tvMain"));
    tvMain->setHeaderHidden(true);
    tvMain->setIndentation(19);
    tvMain->setUniformRowHeights(true); // a tree of a million nodes scrolls without measuring
    tvMain->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tvMain->setSelectionMode(QAbstractItemView::SingleSelection);
    tvMain->setIconSize(QSize(16, 16));
    TreeDisplay = new TkxTreeDisplayModel(Images, this);
    TreeDisplay->SetBaseFont(tvMain->font());
    TreeDisplay->setSourceModel(Project->TreeViewModel());
    tvMain->setModel(TreeDisplay);

    pnl12 = Panel("pnl12");
    auto* grid = new QGridLayout(pnl12);
    grid->setContentsMargins(4, 4, 4, 4);
    grid->setVerticalSpacing(2);
    const std::pair<QLabel**, QLineEdit**> rows[] = {{&lblTotalThreads, &edtTotalThreads},
                                                     {&lblDepth, &edtDepth},
                                                     {&lblLifeTime, &edtLifeTime},
                                                     {&lblMasks, &edtMasks}};
    int row = 0;
    for (const auto& [label, edit] : rows) {
        auto* l = new QLabel;
        auto* e = new QLineEdit;
        l->setBuddy(e);
        // Long captions wrap rather than widen the pane.
        l->setWordWrap(true);
        l->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        e->setFixedWidth(105);
        e->installEventFilter(this);
        connect(e, &QLineEdit::textEdited, this, [this, e] { edtParamChange(e); });
        grid->addWidget(l, row, 0);
        grid->addWidget(e, row, 1);
        ParamEdits.push_back(e);
        *label = l;
        *edit = e;
        ++row;
    }
    lblTotalThreads->setObjectName(QStringLiteral("lblTotalThreads"));
    lblDepth->setObjectName(QStringLiteral("lblDepth"));
    lblLifeTime->setObjectName(QStringLiteral("lblLifeTime"));
    lblMasks->setObjectName(QStringLiteral("lblMasks"));
    edtTotalThreads->setObjectName(QStringLiteral("edtTotalThreads"));
    edtDepth->setObjectName(QStringLiteral("edtDepth"));
    edtLifeTime->setObjectName(QStringLiteral("edtLifeTime"));
    edtMasks->setObjectName(QStringLiteral("edtMasks"));
    sbMasks = new QToolButton;
    sbMasks->setObjectName(QStringLiteral("sbMasks"));
    sbMasks->setText(QStringLiteral("..."));
    connect(sbMasks, &QToolButton::clicked, this, [this] { sbMasksClick(); });
    grid->addWidget(sbMasks, 3, 2);
    sbConnectAs = new QToolButton;
    sbConnectAs->setObjectName(QStringLiteral("sbConnectAs"));
    sbConnectAs->setDefaultAction(actConnectAs);
    grid->addWidget(sbConnectAs, 3, 3);
    grid->setColumnStretch(0, 1);

    reErrors = new QTextEdit;
    reErrors->setObjectName(QStringLiteral("reErrors"));
    reErrors->setReadOnly(true);
    reErrors->setAcceptRichText(false);
    reErrors->setFocusPolicy(Qt::NoFocus);
    reErrors->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QPalette face = reErrors->palette();
    face.setColor(QPalette::Base, face.color(QPalette::Button));
    reErrors->setPalette(face);
    reErrors->hide();
    grid->addWidget(reErrors, 4, 0, 1, 4);
    grid->setRowStretch(4, 1);
    // Without errors the rows stay at the top of the panel.
    grid->setRowStretch(5, 1);

    pnl11 = Panel("pnl11");
    Fill(pnl11, tvMain);
    spl2 = Splitter("spl2", Qt::Vertical);
    spl2->addWidget(pnl11);
    spl2->addWidget(pnl12);
    spl2->setStretchFactor(0, 1);
    spl2->setStretchFactor(1, 0);
    pnl1 = Panel("pnl1");
    Fill(pnl1, spl2);

    // Right pane: the detail list over the thread list.
    lvDir = new QTreeWidget;
    lvDir->setObjectName(QStringLiteral("lvDir"));
    lvDir->setColumnCount(6);
    lvDir->setRootIsDecorated(false);
    lvDir->setUniformRowHeights(true);
    lvDir->setIconSize(QSize(16, 16));
    lvDir->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvThreads = new QTreeView;
    lvThreads->setObjectName(QStringLiteral("lvThreads"));
    lvThreads->setRootIsDecorated(false);
    lvThreads->setUniformRowHeights(true);
    lvThreads->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvThreads->setModel(new TkxThreadListModel(Project->ThreadRowsViewModel(), this));
    for (QTreeView* list : {static_cast<QTreeView*>(lvDir), lvThreads}) {
        list->header()->setStretchLastSection(false);
        list->header()->setSectionsMovable(false);
    }
    pnl21 = Panel("pnl21");
    Fill(pnl21, lvDir);
    pnl22 = Panel("pnl22");
    Fill(pnl22, lvThreads);
    spl3 = Splitter("spl3", Qt::Vertical);
    spl3->addWidget(pnl21);
    spl3->addWidget(pnl22);
    spl3->setStretchFactor(0, 0);
    spl3->setStretchFactor(1, 1);
    pnl2 = Panel("pnl2");
    Fill(pnl2, spl3);

    spl1 = Splitter("spl1", Qt::Horizontal);
    spl1->addWidget(pnl1);
    spl1->addWidget(pnl2);
    spl1->setStretchFactor(0, 0);
    spl1->setStretchFactor(1, 1);
    setCentralWidget(spl1);

    connect(tvMain, &QTreeView::clicked, this, [this](const QModelIndex& i) { tvMainClick(i); });
    connect(tvMain, &QTreeView::doubleClicked, this, [this] { actExecute->trigger(); });
    // Expanding or collapsing a node by its button selects it; the details stay.
    for (auto signal : {&QTreeView::expanded, &QTreeView::collapsed})
        connect(tvMain, signal, this, [this](const QModelIndex& i) {
            tvMain->setCurrentIndex(i);
            WakeIconLoader();
        });
    connect(tvMain->verticalScrollBar(), &QScrollBar::valueChanged, this,
            [this] { WakeIconLoader(); });
    // A right click asks for the context menu at its node (on the viewport), the menu key and
    // Shift+F10 at the current node (on the tree).
    pmTree = new QMenu(this);
    pmTree->setObjectName(QStringLiteral("pmTree"));
    pmTree->addAction(actConnectHostAs);
    tvMain->installEventFilter(this);
    tvMain->viewport()->installEventFilter(this);
}

void TfrmMain::BindDocument() {
    TkxProjectDoc* doc = Project.get();
    StatusTimer = new QTimer(this);
    StatusTimer->setSingleShot(true);
    StatusTimer->setInterval(TkxThreadListModel::RepaintMs);
    connect(StatusTimer, &QTimer::timeout, this, [this] { ShowStatus(); });
    connect(doc, &TkxProjectDoc::StatusChanged, this, [this] { StatusChanged(); });
    connect(doc, &TkxProjectDoc::ProgressChanged, this,
            [this](const QString& text) { Panels[2]->setText(text); });
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
    connect(doc, &TkxProjectDoc::ProjectFileDone, this,
            [this](const QString& fileName) { AddRecentProject(fileName); });
    ErrorsTimer = new QTimer(this);
    ErrorsTimer->setSingleShot(true);
    ErrorsTimer->setInterval(TkxThreadListModel::RepaintMs);
    connect(ErrorsTimer, &QTimer::timeout, this, [this] { FlushErrors(); });
    connect(doc, &TkxProjectDoc::TaskFailed, this, &TfrmMain::ShowTaskFailed);
    // The pane is complete when the search is over.
    connect(doc, &TkxProjectDoc::ManagersIdle, this, [this] { FlushErrors(); });
    connect(Accounts, &TkxAccounts::Changed, this, [this] { ShowAccount(); });

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
            Project->ReadProject(args.front());
        }
        ShowParams();
    } catch (...) {
        ReportApplicationError(std::current_exception());
    }
}

void TfrmMain::TntFormShow() {
    TfrmAbst::TntFormShow();
    BuildLanguageMenu();
    UpdateStatus();
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

void TfrmMain::resizeEvent(QResizeEvent* e) {
    TfrmAbst::resizeEvent(e);
    TntFormResize();
}

void TfrmMain::TntFormResize() {
    const int w = (width() / 100) * 15;
    Panels[0]->setFixedWidth(w);
    Panels[2]->setFixedWidth(w);
    // The search state is never cut off: its panel grows to its text when that is longer.
    Panels[1]->setMinimumWidth(w);
    if (PaneSizes && isVisible())
        ApplyPaneSizes();
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
    actRDelete->setText(TextDelete());
    actPack->setText(TextPack());
    actExecute->setText(TextOpenFileWith());
    lblTotalThreads->setText(TextMaxThreads());
    lblDepth->setText(TextMaxFoldersDepth());
    lblLifeTime->setText(TextMaxThreadLife());
    lblMasks->setText(TextMasks());
    miLang->setTitle(TextLanguages());
    actTranslate->setText(TextTranslateRequest());
    actConnectAs->setText(TextConnectAs());
    actConnectHostAs->setText(TextConnectHostAs());

    // Names for screen readers, in the same language.
    tvMain->setAccessibleName(AccessibleText(TkxAccessibleText::ResultTree));
    lvDir->setAccessibleName(AccessibleText(TkxAccessibleText::Details));
    lvThreads->setAccessibleName(AccessibleText(TkxAccessibleText::Threads));
    reErrors->setAccessibleName(AccessibleText(TkxAccessibleText::Errors));
    pnl12->setAccessibleName(AccessibleText(TkxAccessibleText::Parameters));
    const std::pair<QLineEdit*, QLabel*> edits[] = {{edtTotalThreads, lblTotalThreads},
                                                    {edtDepth, lblDepth},
                                                    {edtLifeTime, lblLifeTime},
                                                    {edtMasks, lblMasks}};
    for (const auto& [edit, label] : edits)
        edit->setAccessibleName(label->text());
    sbMasks->setAccessibleName(TextMasks());
    const QString connectAs = WithoutEllipsis(TextConnectAs());
    sbConnectAs->setToolTip(connectAs);
    sbConnectAs->setAccessibleName(connectAs);
    const TkxAccessibleText panels[] = {TkxAccessibleText::PendingNodes,
                                        TkxAccessibleText::SearchState, TkxAccessibleText::Progress,
                                        TkxAccessibleText::IconAddress, TkxAccessibleText::Account};
    for (size_t i = 0; i < Panels.size(); ++i)
        Panels[i]->setAccessibleName(AccessibleText(panels[i]));
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
        auto show = [](QLabel* panel, const QString& text) {
            if (panel->text() != text)
                panel->setText(text);
        };
        show(Panels[0], QString::number(Project->PendingCount()));
        show(Panels[1], Project->StatusStateText());
        SetTitle(Project->CaptionText());
        ShownState = Project->SearchState();
    } catch (...) {
        // A refresh never fails.
    }
}

void TfrmMain::ShowAccount() {
    const QString text = Accounts->StatusText();
    if (Panels[4]->text() != text)
        Panels[4]->setText(text);
}

void TfrmMain::ShowErrorsPane() {
    // The parameter rows at their wrapped height, measured before the pane takes its share.
    QLayout* layout = pnl12->layout();
    layout->activate();
    const int rows = layout->hasHeightForWidth() ? layout->totalHeightForWidth(pnl12->width())
                                                 : layout->totalSizeHint().height();
    reErrors->show();
    // Room for a few entries rather than a sliver, taken from the tree, which keeps half.
    const int need = rows + 8 * reErrors->fontMetrics().lineSpacing();
    const QList<int> sizes = spl2->sizes();
    const int total = sizes.value(0) + sizes.value(1);
    const int params = std::min(need, total / 2);
    if (sizes.value(1) < params)
        spl2->setSizes({total - params, params});
}

void TfrmMain::QueueError(const QDateTime& when, const QString& message) {
    if (reErrors->isHidden())
        ShowErrorsPane();
    // Three lines each; the first error of the pane takes its empty paragraph.
    if (!PendingErrors.isEmpty() || !reErrors->document()->isEmpty())
        PendingErrors += u'\n';
    PendingErrors += DateTimeText(DateTimeToDays(when));
    PendingErrors += u'\n';
    PendingErrors += message;
    PendingErrors += u'\n';
    ++PendingErrorCount;
}

void TfrmMain::ShowError(const QDateTime& when, const QString& message) {
    // Written behind the failed tasks still waiting: the pane keeps the order of events.
    QueueError(when, message);
    FlushErrors();
}

void TfrmMain::ShowTaskFailed(const QString& address, const QString& stateText) {
    QueueError(QDateTime::currentDateTime(), QStringLiteral("%1: %2").arg(address, stateText));
    // A batch is bounded too: one huge insertion would be a stall of its own.
    if (PendingErrorCount >= MaxErrorBatch)
        FlushErrors();
    else if (!ErrorsTimer->isActive())
        ErrorsTimer->start();
}

void TfrmMain::FlushErrors() {
    ErrorsTimer->stop();
    if (PendingErrors.isEmpty())
        return;
    // As plain text, whatever a name from the network looks like. The view follows the end
    // only when it was there, so a user reading older lines keeps their place.
    QScrollBar* bar = reErrors->verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum();
    QTextCursor end(reErrors->document());
    end.movePosition(QTextCursor::End);
    end.insertText(PendingErrors);
    PendingErrors.clear();
    PendingErrorCount = 0;
    if (atEnd)
        bar->setValue(bar->maximum());
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
    for (QAction* a : {actNew, actOpen, actSaveAs, actXML, actExit, actRAdd, actPack})
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
    Command([&] {
        Project->SetModified(true);
        ParamFromEdit(edit);
    });
}

void TfrmMain::edtParamExit() {
    ShowParams();
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* e) {
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

// --- tree and details

void TfrmMain::tvMainClick(const QModelIndex& index) {
    Command([&] {
        if (TkxNode* node = SelectedNode())
            ShowDetails(node, tvMain->isExpanded(index));
    });
}

void TfrmMain::ShowDetails(const TkxNode* node, bool expanded) {
    const TkxNode* first = nullptr;
    if (node && node->Info.HasMatch) {
        if (expanded && !node->Children.empty())
            first = node->Children.front().get();
        else
            first = node->Parent->Children.front().get();
    }
    lvDir->setUpdatesEnabled(false);
    const auto done = qScopeGuard([this] { lvDir->setUpdatesEnabled(true); });
    lvDir->clear();
    if (!first)
        return;
    QList<QTreeWidgetItem*> items;
    const TkxNode* parent = first->Parent;
    for (size_t i = size_t(first->Row); i < parent->Children.size(); ++i) {
        const TkxNode* sibling = parent->Children[i].get();
        const TkxInfo& r = sibling->Info;
        if (!r.HasMatch)
            continue;
        auto* item =
            new QTreeWidgetItem(QStringList{r.NameText(), r.AddressText(), r.CreatingText(),
                                            r.EditTimeText(), r.LastAccessText(), r.SizeText()});
        item->setIcon(0, Images.Icon(sibling->ImageIndex));
        items.append(item);
    }
    lvDir->addTopLevelItems(items);
}

void TfrmMain::SetNodeIcon(TkxNode* node, int index) {
    if (!node)
        return;
    Project->SetNodeIcon(node, index);
    const QString address = node->Info.AddressText();
    for (int i = 0; i < lvDir->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = lvDir->topLevelItem(i);
        if (item->text(1) == address)
            item->setIcon(0, Images.Icon(index));
    }
}

// --- icon loader host

QObject* TfrmMain::BridgeTarget() const {
    return IconBridge.get();
}

TkxIconWork TfrmMain::HostIconWork(TkxNode* from, quint64 generation, int maxNodes) {
    TkxIconWork work;
    if (!Project)
        return work;
    const TkxTreeModel& tree = Project->Tree();
    work.Generation = tree.Generation();
    auto expanded = [&](const TkxNode* n) {
        return tvMain->isExpanded(TreeDisplay->mapFromSource(tree.IndexOf(n)));
    };
    TkxNode* node =
        from && generation == work.Generation ? from : tree.NextVisible(nullptr, expanded);
    for (int walked = 0; node && walked < maxNodes; ++walked) {
        if (node->ImageIndex == -1 && node->Info.HasMatch)
            work.Tasks.push_back(
                {node, node->Info.AddressText(), node->Info.NameText(), node->Info.Kind});
        node = tree.NextVisible(node, expanded);
    }
    work.Resume = node;
    return work;
}

void TfrmMain::HostSetNodeIcons(const std::vector<std::pair<TkxNode*, QString>>& icons,
                                quint64 generation) {
    if (!Project || generation != Project->Tree().Generation())
        return;
    std::vector<std::pair<TkxNode*, int>> indexes;
    indexes.reserve(icons.size());
    QHash<QString, int> byAddress;
    const bool details = lvDir->topLevelItemCount() > 0;
    for (const auto& [node, key] : icons) {
        const int index = Images.IndexOf(key);
        indexes.emplace_back(node, index);
        if (details)
            byAddress.insert(node->Info.AddressText(), index);
    }
    Project->SetNodeIcons(indexes);
    for (int i = 0; details && i < lvDir->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = lvDir->topLevelItem(i);
        const auto found = byAddress.constFind(item->text(1));
        if (found != byAddress.constEnd())
            item->setIcon(0, Images.Icon(*found));
    }
}

void TfrmMain::HostIconStatus(const QString& text) {
    Panels[3]->setText(text);
}

void TfrmMain::WakeIconLoader() {
    if (Loader)
        Loader->Waker().Wake();
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

// --- stored layout

void TfrmMain::SaveProps(TkxProps& props) {
    const QList<int> left = spl1->sizes();
    const QList<int> params = spl2->sizes();
    const QList<int> details = spl3->sizes();
    props.Add(left.value(0));
    props.Add(params.value(1));
    props.Add(details.value(0));
    for (int i = 0; i < 5; ++i)
        props.Add(lvThreads->header()->sectionSize(i));
    for (int i = 0; i < 6; ++i)
        props.Add(lvDir->header()->sectionSize(i));
    props.Add(Starts + 1);
    props.Add(Project ? Project->NewProjectCount() : 0);
    props.Add(CurrentLanguage());
}

void TfrmMain::LoadProps(TkxProps& props) {
    int i = TkxProps::FirstOwnIndex;
    std::array<int, 3> panes{};
    for (int& size : panes)
        size = PropInt(props, i++);
    std::vector<int> columns;
    for (int c = 0; c < 5 + 6; ++c)
        columns.push_back(PropInt(props, i++));
    const int starts = PropInt(props, i++);
    const int newCount = PropInt(props, i++);
    bool ok = false;
    const quint32 language = props.Items(i).toString().trimmed().toUInt(&ok);
    if (!ok)
        throw EkxError(
            QStringLiteral("Props: '%1' is not a language").arg(props.Items(i).toString()));
    PaneSizes = panes;
    DefaultColumns = false;
    ApplyPaneSizes();
    for (int c = 0; c < 5; ++c)
        lvThreads->header()->resizeSection(c, columns[size_t(c)]);
    for (int c = 0; c < 6; ++c)
        lvDir->header()->resizeSection(c, columns[size_t(5 + c)]);
    Starts = starts;
    Project->SetNewProjectCount(newCount + 1);
    SetCurrentLanguage(language);
    UpdateStatus();
}

void TfrmMain::DefaultLayout(TkxProps&) {
    const QRect screenArea = (screen() ? screen() : QGuiApplication::primaryScreen())->geometry();
    const int w = screenArea.width() / 2, h = screenArea.height() / 2;
    move(screenArea.left() + screenArea.width() / 4, screenArea.top() + screenArea.height() / 4);
    resize(w, h);
    // The client areas as they will be once the window has this size.
    const int bars = menuBar()->sizeHint().height() + tbMain->sizeHint().height() +
                     sbInfo()->sizeHint().height();
    const int paneHeight = std::max(0, h - bars);
    const int left = w / 2;
    PaneSizes = std::array<int, 3>{left, paneHeight / 3, paneHeight / 4};
    DefaultColumns = true;
    ApplyPaneSizes();
    Starts = 1;
    Project->SetNewProjectCount(1);
    SetCurrentLanguage(BuiltInLanguages().front());
    UpdateStatus();
}

void TfrmMain::ApplyPaneSizes() {
    if (!PaneSizes)
        return;
    const auto [left, params, details] = *PaneSizes;
    // The splitters distribute by proportion: give them the whole current extent.
    auto place = [](QSplitter* s, int first, int last, int extent) {
        if (extent <= 0)
            return;
        if (first >= 0)
            s->setSizes({first, std::max(1, extent - first - s->handleWidth())});
        else
            s->setSizes({std::max(1, extent - last - s->handleWidth()), last});
    };
    const QSize client = centralWidget()->size();
    const int width = isVisible() ? client.width() : this->width();
    const int height = isVisible() ? client.height() : spl2->height();
    place(spl1, left, -1, width);
    place(spl2, -1, params, height);
    place(spl3, details, -1, height);
    if (DefaultColumns) {
        // A list's client width is the right pane's less the list's frame.
        const int right = spl1->sizes().value(1);
        auto share = [right](QTreeView* list, int columns) {
            const int each = std::max(1, (right - 2 * list->frameWidth()) / columns);
            for (int c = 0; c < columns; ++c)
                list->header()->resizeSection(c, each);
        };
        share(lvThreads, 5);
        share(lvDir, 6);
    }
    // Applied for good once the window shows at its size.
    if (isVisible() && client.width() >= left) {
        PaneSizes.reset();
        DefaultColumns = false;
    }
}

// --- commands

template <class F> void TfrmMain::Command(F&& body) {
    try {
        body();
    } catch (...) {
        ReportApplicationError(std::current_exception());
    }
}

bool TfrmMain::AskMissingPasswords() {
    // Each confirmed dialog settles the account it was for.
    for (int asked = 0; asked <= Accounts->HostCount(); ++asked) {
        QString host;
        if (!Accounts->NeedsPassword(&host))
            return true;
        if (!Accounts->Execute(this, host))
            return false;
    }
    return !Accounts->NeedsPassword();
}

void TfrmMain::actRunExecute() {
    Command([&] {
        if (AskMissingPasswords())
            Project->Run();
    });
}

void TfrmMain::actContinueExecute() {
    Command([&] {
        if (AskMissingPasswords())
            Project->Continue();
    });
}

void TfrmMain::actRescanExecute() {
    Command([&] {
        // The node is taken after the dialog, which lets events run.
        if (!SelectedNode() || !AskMissingPasswords())
            return;
        if (TkxNode* node = SelectedNode())
            Project->Rescan(node);
    });
}

void TfrmMain::actStopExecute() {
    Command([&] { Project->Stop(); });
}

void TfrmMain::actNewExecute() {
    Command([&] {
        if (!Project->QuerySave(true))
            return;
        Project->NewProject();
        ShowParams();
    });
}

void TfrmMain::actOpenExecute() {
    Command([&] {
        if (!Project->QuerySave(true))
            return;
        const QString name = AskProjectFileName ? AskProjectFileName(false) : QString();
        if (name.isEmpty())
            return;
        Project->ReadProject(name);
        ShowParams();
        UpdateStatus();
        Project->SetModified(false);
    });
}

void TfrmMain::actSaveExecute() {
    Command([&] { Project->QuerySave(false); });
}

void TfrmMain::actSaveAsExecute() {
    Command([&] { Project->SaveProject(true); });
}

void TfrmMain::actXMLExecute() {
    Command([&] { ShellOpen(Project->ExportXml()); });
}

void TfrmMain::actExitExecute() {
    close();
}

void TfrmMain::actRAddExecute() {
    Command([&] {
        QString name, range;
        if (ExecuteRangeDialog(this, name, range))
            Project->AddRange(name, range);
    });
}

void TfrmMain::actRDeleteExecute() {
    Command([&] {
        if (TkxNode* node = SelectedNode())
            Project->DeleteNode(node);
    });
}

void TfrmMain::actPackExecute() {
    Command([&] { Project->Pack(); });
}

void TfrmMain::actExecuteExecute() {
    Command([&] {
        if (const TkxNode* node = SelectedNode())
            ShellOpen(node->Info.AddressText());
    });
}

void TfrmMain::actAbountExecute() {
    Command([&] {
        TdlgAbout about(this);
        about.StartTimer();
        about.Execute();
    });
}

void TfrmMain::actTranslateExecute() {
    Command([&] { ExecuteTranslateRequest(this); });
}

void TfrmMain::actConnectAsExecute() {
    Command([&] { Accounts->Execute(this); });
}

void TfrmMain::actConnectHostAsExecute() {
    Command([&] {
        if (const TkxNode* node = SelectedNode(); node && node->Info.Kind == ikHost)
            Accounts->Execute(this, node->Info.AddressText());
    });
}

void TfrmMain::tvMainContextPopup(const QModelIndex& index, QPoint at) {
    Command([&] {
        TkxNode* node = Project->Tree().NodeOf(TreeDisplay->mapToSource(index));
        if (!node || node->Info.Kind != ikHost)
            return;
        // The menu is for the node it was opened on: selected as a click would.
        tvMain->setCurrentIndex(index);
        tvMainClick(index);
        aeMainIdle();
        pmTree->popup(tvMain->viewport()->mapToGlobal(at));
    });
}

bool TfrmMain::SaveQuestionBox() {
    TSaveQuestionBox box(this);
    box.setObjectName(QStringLiteral("SaveQuestion"));
    box.setIcon(QMessageBox::Question);
    box.setWindowTitle(QStringLiteral("Orvane"));
    box.setText(TextSaveProjectQuestion());
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::Yes);
    // The tables hold no answers; in Russian the box would otherwise answer in English.
    if (CurrentLanguage() == LangRussian) {
        box.button(QMessageBox::Yes)->setText(QStringLiteral("&Да"));
        box.button(QMessageBox::No)->setText(QStringLiteral("&Нет"));
    }
    return box.exec() == QMessageBox::Yes;
}

QString TfrmMain::ProjectFileDialog(bool save) {
    QFileDialog dialog(this, save ? TextSaveAs() : TextOpen());
    dialog.setObjectName(save ? QStringLiteral("tntSave") : QStringLiteral("tntOpen"));
    dialog.setNameFilter(ProjectFileFilterQt());
    dialog.setDefaultSuffix(QStringLiteral("kxor"));
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (save && !Project->IsUntitled())
        dialog.selectFile(Project->ProjectFileName());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    return dialog.selectedFiles().front();
}

// --- recent projects

QStringList TfrmMain::RecentProjects() const {
    QStringList files = WindowSettings().value(RecentProjectsKey).toStringList();
    // Settings edited by hand: no empty or repeated entries, no more than the menu holds.
    files.removeAll(QString());
    files.removeDuplicates();
    return files.mid(0, RecentProjectCount);
}

void TfrmMain::SetRecentProjects(const QStringList& files) {
    QSettings settings = WindowSettings();
    if (files.isEmpty())
        settings.remove(RecentProjectsKey);
    else
        settings.setValue(RecentProjectsKey, files);
    ShowRecentProjects();
}

void TfrmMain::AddRecentProject(const QString& fileName) {
    const QString path = QDir::cleanPath(QFileInfo(fileName).absoluteFilePath());
    QStringList files = RecentProjects();
    files.removeAll(path);
    files.prepend(path);
    SetRecentProjects(files.mid(0, RecentProjectCount));
}

void TfrmMain::RemoveRecentProject(const QString& fileName) {
    QStringList files = RecentProjects();
    if (files.removeAll(fileName) > 0)
        SetRecentProjects(files);
}

void TfrmMain::ShowRecentProjects() {
    const QStringList files = RecentProjects();
    const QFontMetrics metrics(miFile->font());
    for (size_t i = 0; i < miRecent.size(); ++i) {
        QAction* item = miRecent[i];
        const QString file = files.value(qsizetype(i));
        item->setData(file);
        item->setVisible(!file.isEmpty());
        if (file.isEmpty())
            continue;
        // A long path keeps its start and the file's name.
        QString shown = metrics.elidedText(QDir::toNativeSeparators(file), Qt::ElideMiddle,
                                           60 * metrics.averageCharWidth());
        shown.replace(u'&', QStringLiteral("&&"));
        item->setText(QStringLiteral("&%1 %2").arg(i + 1).arg(shown));
    }
    miRecentSeparator->setVisible(!files.isEmpty());
}

void TfrmMain::OpenRecentProject(const QString& fileName) {
    Command([&] {
        if (fileName.isEmpty())
            return;
        if (!QFileInfo::exists(fileName)) {
            RemoveRecentProject(fileName);
            throw EkxError(QStringLiteral("Can not open project file %1: No such file or directory")
                               .arg(fileName));
        }
        if (!Project->QuerySave(true))
            return;
        Project->ReadProject(fileName);
        ShowParams();
        UpdateStatus();
        Project->SetModified(false);
    });
}
