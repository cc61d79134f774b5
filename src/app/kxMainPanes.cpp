// The main window's actions and panes: the tool bar, the menus, the status panels, the tree
// with the parameters and the errors pane below it, and the detail and thread lists.

#include "app/kxMain.h"

#include "app/kxErrorsPane.h"
#include "document/kxProjectDoc.h"

#include <QAction>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScrollBar>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QTextEdit>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

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

} // namespace

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
        {&actAddTargets, "actAddTargets", nullptr, QStyle::SP_CustomBase,
         &TfrmMain::actAddTargetsExecute},
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
        {&actNetbios, "actNetbios", nullptr, QStyle::SP_CustomBase, &TfrmMain::actNetbiosExecute},
        {&actAllowSmb1, "actAllowSmb1", nullptr, QStyle::SP_CustomBase,
         &TfrmMain::actAllowSmb1Execute},
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
    actNetbios->setCheckable(true);
    actNetbios->setChecked(NetOptions.Netbios);
    actAllowSmb1->setCheckable(true);
    actAllowSmb1->setChecked(NetOptions.AllowSmb1);
}
void TfrmMain::BuildComponents() {
    BuildToolBar();
    BuildMenus();
    BuildStatusPanels();
    spl1 = Splitter("spl1", Qt::Horizontal);
    spl1->addWidget(BuildTreePane());
    spl1->addWidget(BuildListPanes());
    spl1->setStretchFactor(0, 0);
    spl1->setStretchFactor(1, 1);
    setCentralWidget(spl1);
    Errors = new TkxErrorsPane(reErrors, pnl12, spl2, this);
    BindTreeView();
}

void TfrmMain::BuildToolBar() {
    // The separator, then the thirteen buttons in their design order.
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
}

void TfrmMain::BuildMenus() {
    miFile = menuBar()->addMenu(QString());
    miFile->setObjectName(QStringLiteral("miFile"));
    miFile->addActions({actNew, actOpen, actSave, actSaveAs, actXML});
    Recent = new TkxRecentProjects(miFile, this);
    miRecentSeparator = Recent->Separator();
    miRecent = Recent->Items();
    connect(Recent, &TkxRecentProjects::OpenRequested, this,
            [this](const QString& fileName) { OpenRecentProject(fileName); });
    miFile->addSeparator();
    miFile->addAction(actExit);
    miRange = menuBar()->addMenu(QString());
    miRange->setObjectName(QStringLiteral("miRange"));
    miRange->addActions({actRAdd, actAddTargets, actRDelete, actPack, actExecute});
    miSearch = menuBar()->addMenu(QString());
    miSearch->setObjectName(QStringLiteral("miSearch"));
    miSearch->addActions({actRun, actContinue, actRescan, actStop});
    miSearch->addSeparator();
    miSearch->addAction(actConnectAs);
    miSearch->addSeparator();
    miSearch->addActions({actNetbios, actAllowSmb1});
    miLang = menuBar()->addMenu(QString());
    miLang->setObjectName(QStringLiteral("miLang"));
    menuBar()->addAction(actAbount);
}

void TfrmMain::BuildStatusPanels() {
    // 0-3: pending nodes, search state, progress, icon address; then who the search connects
    // as, as wide as its text.
    for (int i = 0; i < int(Panels.size()); ++i) {
        auto* label = new QLabel;
        label->setObjectName(QStringLiteral("sbInfoPanel%1").arg(i));
        label->setFrameShape(QFrame::StyledPanel);
        label->setFrameShadow(QFrame::Sunken);
        label->setTextFormat(Qt::PlainText);
        sbInfo()->addWidget(label, i == 3 ? 1 : 0);
        Panels[size_t(i)] = label;
    }
}

QWidget* TfrmMain::BuildTreePane() {
    // The tree over the parameters panel.
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

    pnl11 = Panel("pnl11");
    Fill(pnl11, tvMain);
    spl2 = Splitter("spl2", Qt::Vertical);
    spl2->addWidget(pnl11);
    spl2->addWidget(BuildParamsPanel());
    spl2->setStretchFactor(0, 1);
    spl2->setStretchFactor(1, 0);
    pnl1 = Panel("pnl1");
    Fill(pnl1, spl2);
    return pnl1;
}

QWidget* TfrmMain::BuildParamsPanel() {
    // The parameters with their labels, the masks' and connect-as buttons, and the errors pane
    // below them.
    pnl12 = Panel("pnl12");
    auto* grid = new QGridLayout(pnl12);
    grid->setContentsMargins(4, 4, 4, 4);
    grid->setVerticalSpacing(2);
    const std::pair<QLabel**, QLineEdit**> rows[] = {{&lblTotalThreads, &edtTotalThreads},
                                                     {&lblConnectTimeout, &edtConnectTimeout},
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
    lblConnectTimeout->setObjectName(QStringLiteral("lblConnectTimeout"));
    lblDepth->setObjectName(QStringLiteral("lblDepth"));
    lblLifeTime->setObjectName(QStringLiteral("lblLifeTime"));
    lblMasks->setObjectName(QStringLiteral("lblMasks"));
    edtTotalThreads->setObjectName(QStringLiteral("edtTotalThreads"));
    edtConnectTimeout->setObjectName(QStringLiteral("edtConnectTimeout"));
    edtDepth->setObjectName(QStringLiteral("edtDepth"));
    edtLifeTime->setObjectName(QStringLiteral("edtLifeTime"));
    edtMasks->setObjectName(QStringLiteral("edtMasks"));
    sbMasks = new QToolButton;
    sbMasks->setObjectName(QStringLiteral("sbMasks"));
    sbMasks->setText(QStringLiteral("..."));
    connect(sbMasks, &QToolButton::clicked, this, [this] { sbMasksClick(); });
    const int masksRow = row - 1;
    grid->addWidget(sbMasks, masksRow, 2);
    sbConnectAs = new QToolButton;
    sbConnectAs->setObjectName(QStringLiteral("sbConnectAs"));
    sbConnectAs->setDefaultAction(actConnectAs);
    grid->addWidget(sbConnectAs, masksRow, 3);
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
    // Below the last parameter row, never over it.
    grid->addWidget(reErrors, row, 0, 1, 4);
    grid->setRowStretch(row, 1);
    // Without errors the rows stay at the top of the panel.
    grid->setRowStretch(row + 1, 1);
    pnl12->installEventFilter(this);
    return pnl12;
}

QWidget* TfrmMain::BuildListPanes() {
    // The detail list over the thread list.
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
    return pnl2;
}

void TfrmMain::BindTreeView() {
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
