#include "dialogs/kxAbout.h"

#include "app/kxSaverWindow.h"
#include "platform/kxDesktop.h"
#include "storage/kxUtils.h"

#include <QCoreApplication>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

namespace {

const QString AuthorLine = QStringLiteral("The Orvane team");
const QString MailLink = QStringLiteral("mailto:orvane@example.org");
const QString WebLink = QStringLiteral("https://www.example.org/orvane/");

// The design's client area, its labels 22 pixels apart from 16 down and 32 in.
const QSize DesignClient(275, 126);
constexpr int DesignLabelPitch = 22;

QLabel* MakeLabel(QWidget* parent, const QString& name, const QString& caption) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(name);
    QFont bold = label->font();
    bold.setBold(true);
    // Ten points against the windows' eight: a quarter larger than the desktop's font.
    bold.setPointSizeF(bold.pointSizeF() * 1.25);
    label->setFont(bold);
    label->setTextFormat(Qt::PlainText);
    return label;
}

} // namespace

TdlgAbout::TdlgAbout(QWidget* owner) : TfrmAbst(4, owner, Qt::Dialog | Qt::FramelessWindowHint) {
    sbInfo()->hide();
    pnlClient = new QFrame(this);
    pnlClient->setObjectName(QStringLiteral("pnlClient"));
    pnlClient->setFrameStyle(QFrame::Panel | QFrame::Raised);
    // Without a window frame the panel's edge is all that sets the box off the desktop.
    pnlClient->setLineWidth(2);
    setCentralWidget(pnlClient);

    // Design-time captions: what the texts will be, so the box has its size before they come.
    lblName = MakeLabel(pnlClient, QStringLiteral("lblName"), QStringLiteral("Orvane"));
    lblAuthor = MakeLabel(pnlClient, QStringLiteral("lblAuthor"), AuthorLine);
    lblMail = MakeLabel(pnlClient, QStringLiteral("lblMail"), MailLink);
    lblHttp = MakeLabel(pnlClient, QStringLiteral("lblHttp"), WebLink);
    auto* column = new QVBoxLayout(pnlClient);
    column->setContentsMargins(32, 16, 32, 16);
    column->setSpacing(std::max(0, DesignLabelPitch - lblName->sizeHint().height()));
    for (QLabel* label : {lblName, lblAuthor, lblMail, lblHttp})
        column->addWidget(label);
    column->addStretch(1);
    for (QLabel* link : {lblMail, lblHttp}) {
        link->setCursor(Qt::PointingHandCursor);
        QPalette linkColour = link->palette();
        linkColour.setColor(QPalette::WindowText, linkColour.color(QPalette::Link));
        link->setPalette(linkColour);
        link->installEventFilter(this);
    }

    tmrExit = new QTimer(this);
    tmrExit->setObjectName(QStringLiteral("tmrExit"));
    tmrExit->setInterval(ExitInterval);
    connect(tmrExit, &QTimer::timeout, this, &TdlgAbout::tmrExitTimer);

    resize(DesignClient.expandedTo(minimumSizeHint()));
    TntFormCreate();
}

void TdlgAbout::TntFormCreate() {
    TfrmAbst::TntFormCreate();
    Saver()->Enabled = false;
}

void TdlgAbout::TntFormShow() {
    CenterOnScreen();
    TfrmAbst::TntFormShow();
}

void TdlgAbout::ApplyTexts() {
    setWindowTitle(QString());
    lblName->setText(QStringLiteral("Orvane (%1)").arg(ProgramVersionText()));
    lblAuthor->setText(AuthorLine);
    lblMail->setText(MailLink);
    lblHttp->setText(WebLink);
    lblMail->setAccessibleDescription(lblMail->text());
    lblHttp->setAccessibleDescription(lblHttp->text());
    CenterOnScreen();
}

void TdlgAbout::CenterOnScreen() {
    resize(size().expandedTo(minimumSizeHint()));
    const QScreen* where = parentWidget() ? parentWidget()->screen() : screen();
    if (!where)
        return;
    const QRect area = where->availableGeometry();
    move(area.left() + (area.width() - width()) / 2, area.top() + (area.height() - height()) / 2);
}

void TdlgAbout::StartTimer() {
    tmrExit->start();
}

void TdlgAbout::tmrExitTimer() {
    tmrExit->stop();
    close();
}

void TdlgAbout::Execute() {
    ShowModal();
}

void TdlgAbout::ShowSplash() {
    show();
    SendApplyTexts();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void TdlgAbout::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Escape) {
        e->accept();
        close();
        return;
    }
    TfrmAbst::keyPressEvent(e);
}

bool TdlgAbout::eventFilter(QObject* watched, QEvent* e) {
    if (e->type() == QEvent::MouseButtonRelease) {
        auto* label = qobject_cast<QLabel*>(watched);
        const auto* mouse = static_cast<QMouseEvent*>(e);
        if (label && mouse->button() == Qt::LeftButton &&
            label->rect().contains(mouse->position().toPoint())) {
            lblClick(label);
            return true;
        }
    }
    return TfrmAbst::eventFilter(watched, e);
}

void TdlgAbout::lblClick(QLabel* sender) {
    ShellOpen(sender->text());
}
