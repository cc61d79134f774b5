#include "dialogs/kxRange.h"

#include "app/kxSaverWindow.h"
#include "lang/kxLanguages.h"
#include "model/kxIPs.h"

#include <QAction>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

#include <memory>

namespace {

// The design's client area and its octet edits; the row pitch follows the edits' height.
const QSize DesignClient(327, 141);
constexpr int DesignOctetWidth = 33;
constexpr int DesignOctetGap = 3;
constexpr int DesignLabelWidth = 170;

QLineEdit* MakeEdit(QWidget* parent, const QString& name) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    return edit;
}

QString AddressOf(const QLineEdit* o1, const QLineEdit* o2, const QLineEdit* o3,
                  const QLineEdit* o4) {
    return QStringLiteral("%1.%2.%3.%4").arg(o1->text(), o2->text(), o3->text(), o4->text());
}

} // namespace

TdlgRange::TdlgRange(QWidget* owner) : TdlgAbst(owner, 2) {
    auto* grid = new QGridLayout(pnlClient);
    grid->setContentsMargins(8, 8, 8, 0);
    grid->setHorizontalSpacing(DesignOctetGap);
    grid->setVerticalSpacing(DesignOctetGap);

    lblName = new QLabel(pnlClient);
    lblBegin = new QLabel(pnlClient);
    lblEnd = new QLabel(pnlClient);
    lblName->setObjectName(QStringLiteral("lblName"));
    lblBegin->setObjectName(QStringLiteral("lblBegin"));
    lblEnd->setObjectName(QStringLiteral("lblEnd"));

    edtName = MakeEdit(pnlClient, QStringLiteral("edtName"));
    edtB1 = MakeEdit(pnlClient, QStringLiteral("edtB1"));
    edtB2 = MakeEdit(pnlClient, QStringLiteral("edtB2"));
    edtB3 = MakeEdit(pnlClient, QStringLiteral("edtB3"));
    edtB4 = MakeEdit(pnlClient, QStringLiteral("edtB4"));
    edtE1 = MakeEdit(pnlClient, QStringLiteral("edtE1"));
    edtE2 = MakeEdit(pnlClient, QStringLiteral("edtE2"));
    edtE3 = MakeEdit(pnlClient, QStringLiteral("edtE3"));
    edtE4 = MakeEdit(pnlClient, QStringLiteral("edtE4"));

    // An octet edit holds three digits with room to spare in whatever font the desktop uses.
    const int octetWidth =
        std::max(DesignOctetWidth, edtB1->fontMetrics().horizontalAdvance(QStringLiteral("8888")));
    const QList<QLineEdit*> begin{edtB1, edtB2, edtB3, edtB4};
    const QList<QLineEdit*> end{edtE1, edtE2, edtE3, edtE4};
    for (int i = 0; i < 4; ++i) {
        begin[i]->setFixedWidth(octetWidth);
        end[i]->setFixedWidth(octetWidth);
        grid->addWidget(begin[i], 1, 1 + i);
        grid->addWidget(end[i], 2, 1 + i);
    }
    // The last address's first three octets only follow the first address's.
    for (QLineEdit* follower : {edtE1, edtE2, edtE3}) {
        follower->setReadOnly(true);
        follower->setFocusPolicy(Qt::ClickFocus);
        QPalette faded = follower->palette();
        faded.setColor(QPalette::Base, faded.color(QPalette::Button));
        follower->setPalette(faded);
    }
    connect(edtB1, &QLineEdit::textChanged, edtE1, &QLineEdit::setText);
    connect(edtB2, &QLineEdit::textChanged, edtE2, &QLineEdit::setText);
    connect(edtB3, &QLineEdit::textChanged, edtE3, &QLineEdit::setText);
    connect(edtName, &QLineEdit::textChanged, this, [this] { UpdateActions(); });

    grid->addWidget(lblName, 0, 0);
    grid->addWidget(edtName, 0, 1, 1, 4);
    grid->addWidget(lblBegin, 1, 0);
    grid->addWidget(lblEnd, 2, 0);
    grid->setColumnStretch(0, 1);
    // The labels' column as designed, and never a caption touching its edit.
    grid->setColumnMinimumWidth(0, DesignLabelWidth - DesignOctetGap);
    for (QLabel* label : {lblName, lblBegin, lblEnd})
        label->setContentsMargins(0, 0, DesignOctetGap * 2, 0);
    grid->setRowStretch(3, 1);
    lblName->setBuddy(edtName);
    lblBegin->setBuddy(edtB1);
    lblEnd->setBuddy(edtE4);
    setTabOrder(edtName, edtB1);
    setTabOrder(edtB1, edtB2);
    setTabOrder(edtB2, edtB3);
    setTabOrder(edtB3, edtB4);
    setTabOrder(edtB4, edtE4);

    TntFormCreate();
}

void TdlgRange::TntFormCreate() {
    // The dialog base's creation handler has run in its constructor.
    Saver()->OnSave = [this](TkxProps& bag) {
        for (const QLineEdit* field : StoredFields())
            bag.Add(field->text());
    };
    Saver()->OnLoad = [this](TkxProps& bag) {
        int i = TkxProps::FirstOwnIndex;
        for (QLineEdit* field : StoredFields())
            field->setText(bag.Items(i++).toString());
    };
}

QList<QLineEdit*> TdlgRange::StoredFields() const {
    return {edtName, edtB1, edtB2, edtB3, edtB4, edtE1, edtE2, edtE3, edtE4};
}

void TdlgRange::ApplyTexts() {
    TdlgAbst::ApplyTexts();
    setWindowTitle(TextAddRange());
    lblName->setText(TextRangeName());
    lblBegin->setText(TextFirstIp());
    lblEnd->setText(TextLastIp());
    // A screen reader names each octet after its row.
    const QList<QLineEdit*> begin{edtB1, edtB2, edtB3, edtB4};
    const QList<QLineEdit*> end{edtE1, edtE2, edtE3, edtE4};
    for (int i = 0; i < 4; ++i) {
        begin[i]->setAccessibleName(QStringLiteral("%1 %2").arg(TextFirstIp()).arg(i + 1));
        end[i]->setAccessibleName(QStringLiteral("%1 %2").arg(TextLastIp()).arg(i + 1));
    }
    edtName->setAccessibleName(TextRangeName());
}

void TdlgRange::PlaceDefault() {
    SetDefaultSize(DesignClient);
    TdlgAbst::PlaceDefault();
    edtName->clear();
    edtB1->setText(QStringLiteral("127"));
    edtB2->setText(QStringLiteral("0"));
    edtB3->setText(QStringLiteral("0"));
    edtB4->setText(QStringLiteral("1"));
    edtE4->setText(QStringLiteral("1"));
}

void TdlgRange::actOKUpdate() {
    actOK->setEnabled(!edtName->text().isEmpty());
}

TIPRange TdlgRange::Range() const {
    const QString first = AddressOf(edtB1, edtB2, edtB3, edtB4);
    const QString last = AddressOf(edtE1, edtE2, edtE3, edtE4);
    return TIPRange(QStringLiteral("%1 - %2").arg(first, last));
}

QString TdlgRange::AddressText() const {
    return Range().AsText();
}

QString TdlgRange::DisplayText() const {
    return QStringLiteral("%1 (%2)").arg(edtName->text(), Range().ShortText());
}

bool ExecuteRangeDialog(QWidget* owner, QString& name, QString& rangeText) {
    const auto dialog = std::make_unique<TdlgRange>(owner);
    if (dialog->ShowModal() != TfrmAbst::mrOk)
        return false;
    name = dialog->DisplayText();
    rangeText = dialog->AddressText();
    return true;
}
