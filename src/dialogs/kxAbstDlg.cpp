#include "dialogs/kxAbstDlg.h"

#include "app/kxSaverWindow.h"
#include "lang/kxLanguages.h"

#include <QAction>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTextDocument>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

// Dialogs: a title and a close box, no minimise or maximise box.
constexpr Qt::WindowFlags DialogFlags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                        Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;

// The design keeps the buttons 8 pixels from the right edge and 6 from the content above and
// the status bar below.
constexpr int ButtonRowMargin = 6;
constexpr int DesignRightMargin = 8;
constexpr int DesignLeftMargin = 8;

QToolButton* MakeButton(QWidget* parent, QAction* action, const QString& name) {
    auto* button = new QToolButton(parent);
    button->setObjectName(name);
    button->setDefaultAction(action);
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    button->setAutoRaise(false);
    return button;
}

// Depth first, children before their parent; a later find replaces an earlier one.
void FindButtons(QObject* root, QToolButton*& ok, QToolButton*& cancel) {
    for (QObject* child : root->children()) {
        FindButtons(child, ok, cancel);
        auto* button = qobject_cast<QToolButton*>(child);
        if (!button)
            continue;
        if (button->objectName() == QLatin1String("sbOK"))
            ok = button;
        else if (button->objectName() == QLatin1String("sbCancel"))
            cancel = button;
    }
}

} // namespace

int RoundHalfEven(double value) {
    const double down = std::floor(value);
    const double rest = value - down;
    if (rest > 0.5 || (rest == 0.5 && std::fmod(down, 2.0) != 0.0))
        return int(down) + 1;
    return int(down);
}

void SetMemoLines(QPlainTextEdit* memo, const QStringList& lines) {
    QString text = lines.join(u'\n');
    // Without it a last empty line would vanish: it is the line break that makes it a line.
    if (!lines.isEmpty() && lines.back().isEmpty())
        text += u'\n';
    memo->setPlainText(text);
}

QStringList MemoLines(const QPlainTextEdit* memo) {
    // The raw text keeps what the user typed (no-break spaces included); blocks end with
    // U+2029, a line break inside a block (Shift+Enter) is U+2028.
    QString text = memo->document()->toRawText();
    text.replace(QChar(0x2028), QChar(0x2029));
    if (text.isEmpty())
        return {};
    QStringList lines = text.split(QChar(0x2029));
    if (lines.back().isEmpty())
        lines.removeLast();
    return lines;
}

TdlgAbst::TdlgAbst(QWidget* owner, int tag) : TfrmAbst(tag, owner, DialogFlags) {
    auto* client = new QWidget(this);
    auto* column = new QVBoxLayout(client);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    pnlClient = new QWidget(client);
    pnlClient->setObjectName(QStringLiteral("pnlClient"));
    pnlButtons = new QWidget(client);
    pnlButtons->setObjectName(QStringLiteral("pnlButtons"));
    column->addWidget(pnlClient, 1);
    column->addWidget(pnlButtons);
    setCentralWidget(client);

    actOK = new QAction(this);
    actOK->setObjectName(QStringLiteral("actOK"));
    actOK->setEnabled(false);
    actCancel = new QAction(this);
    actCancel->setObjectName(QStringLiteral("actCancel"));
    actCancel->setEnabled(false);
    connect(actOK, &QAction::triggered, this, &TdlgAbst::actOKExecute);
    connect(actCancel, &QAction::triggered, this, &TdlgAbst::actCancelExecute);

    sbOK = MakeButton(pnlButtons, actOK, QStringLiteral("sbOK"));
    sbCancel = MakeButton(pnlButtons, actCancel, QStringLiteral("sbCancel"));
    const int height = std::max(DesignButtonHeight, sbCancel->sizeHint().height());
    sbOK->resize(DesignButtonWidth, height);
    sbCancel->resize(DesignButtonWidth, height);
    pnlButtons->setFixedHeight(ButtonRowMargin + height + ButtonRowMargin);
    CancelRightMargin = DesignRightMargin;
    pnlButtons->installEventFilter(this);
    PlaceButtons();

    TntFormCreate();
}

void TdlgAbst::TntFormCreate() {
    TfrmAbst::TntFormCreate();
    FirstLayout = true;
    // Called at show time, when the object is complete: the dialog's own override runs.
    Saver()->OnRestoreFailed = [this](TkxProps&) { PlaceDefault(); };
}

void TdlgAbst::TntFormShow() {
    TfrmAbst::TntFormShow();
    UpdateActions();
}

void TdlgAbst::ApplyTexts() {
    actOK->setText(QStringLiteral("OK"));
    actCancel->setText(TextCancel());
}

void TdlgAbst::ApplyTextsMessage() {
    TfrmAbst::ApplyTextsMessage();
    LayoutButtons();
}

void TdlgAbst::SetDefaultSize(QSize designClient) {
    resize(designClient.expandedTo(minimumSizeHint()));
}

void TdlgAbst::PlaceDefault() {
    const QWidget* main = parentWidget() ? parentWidget()->window() : nullptr;
    // Before the window is mapped its frame is unknown; the main window's is a good guess.
    QSize frame = frameGeometry().size() - size();
    if (frame.isNull() && main)
        frame = main->frameGeometry().size() - main->size();
    const QSize outer = size() + frame;
    QRect around;
    if (main)
        around = main->frameGeometry();
    else if (const QScreen* s = screen())
        around = s->availableGeometry();
    move(around.left() + (around.width() - outer.width()) / 2,
         around.top() + (around.height() - outer.height()) / 2);
}

void TdlgAbst::actOKUpdate() {
    actOK->setEnabled(true);
}

void TdlgAbst::actCancelUpdate() {
    actCancel->setEnabled(true);
}

void TdlgAbst::UpdateActions() {
    actOKUpdate();
    actCancelUpdate();
}

void TdlgAbst::actOKExecute() {
    SetModalResult(mrOk);
}

void TdlgAbst::actCancelExecute() {
    SetModalResult(mrCancel);
}

void TdlgAbst::LayoutButtons() {
    QToolButton* ok = nullptr;
    QToolButton* cancel = nullptr;
    FindButtons(this, ok, cancel);
    if (!ok || !cancel)
        return;
    if (FirstLayout) {
        CancelDesignWidth = cancel->width();
        CancelRightMargin = cancel->parentWidget()->width() - (cancel->x() + cancel->width());
        FirstLayout = false;
    }
    const QFontMetrics metrics(font());
    int okWidth = RoundHalfEven(1.5 * metrics.horizontalAdvance(ok->text()));
    int cancelWidth = RoundHalfEven(1.5 * metrics.horizontalAdvance(cancel->text()));
    okWidth = std::max({okWidth, cancelWidth, CancelDesignWidth});
    cancelWidth = std::max({okWidth, cancelWidth, CancelDesignWidth});
    ok->resize(okWidth, ok->height());
    cancel->resize(cancelWidth, cancel->height());
    ButtonGap = 0;
    PlaceButtons();
}

void TdlgAbst::PlaceButtons() {
    const int cancelLeft = pnlButtons->width() - CancelRightMargin - sbCancel->width();
    sbCancel->move(cancelLeft, ButtonRowMargin);
    sbOK->move(cancelLeft - ButtonGap - sbOK->width(), ButtonRowMargin);
    // The dialog never gets so narrow that the pair leaves the window.
    pnlButtons->setMinimumWidth(DesignLeftMargin + sbOK->width() + ButtonGap + sbCancel->width() +
                                CancelRightMargin);
}

bool TdlgAbst::eventFilter(QObject* watched, QEvent* e) {
    if (watched == pnlButtons && e->type() == QEvent::Resize)
        PlaceButtons();
    return TfrmAbst::eventFilter(watched, e);
}

void TdlgAbst::keyPressEvent(QKeyEvent* e) {
    if ((e->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        switch (e->key()) {
        case Qt::Key_Escape:
            UpdateActions();
            actCancel->trigger();
            e->accept();
            return;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            UpdateActions();
            if (actOK->isEnabled()) {
                actOK->trigger();
                e->accept();
                return;
            }
            break;
        default:
            break;
        }
    }
    TfrmAbst::keyPressEvent(e);
}
