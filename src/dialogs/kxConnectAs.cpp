#include "dialogs/kxConnectAs.h"

#include "engine/kxServices.h"
#include "lang/kxLanguages.h"
#include "storage/kxUtils.h"

#include <QAction>
#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

#include <algorithm>
#include <memory>

namespace {

const QSize DesignClient(380, 230);
constexpr int DesignEditWidth = 220;

// A command's caption names the dialog without its ellipsis.
QString TitleOf(QString caption) {
    if (caption.endsWith(QStringLiteral("...")))
        caption.chop(3);
    return caption.trimmed();
}

} // namespace

TdlgConnectAs::TdlgConnectAs(QWidget* owner, const QString& host)
    : TdlgAbst(owner, 5), Host(host), TicketCache(HaveTicketCache()) {
    auto* grid = new QGridLayout(pnlClient);
    grid->setContentsMargins(8, 8, 8, 0);

    chkAsOthers = nullptr;
    int row = 0;
    if (!Host.isEmpty()) {
        chkAsOthers = new QCheckBox(pnlClient);
        chkAsOthers->setObjectName(QStringLiteral("chkAsOthers"));
        grid->addWidget(chkAsOthers, row++, 0, 1, 2);
    }
    chkGuest = new QCheckBox(pnlClient);
    chkGuest->setObjectName(QStringLiteral("chkGuest"));
    grid->addWidget(chkGuest, row++, 0, 1, 2);
    chkKerberos = new QCheckBox(pnlClient);
    chkKerberos->setObjectName(QStringLiteral("chkKerberos"));
    grid->addWidget(chkKerberos, row++, 0, 1, 2);

    lblUser = new QLabel(pnlClient);
    lblUser->setObjectName(QStringLiteral("lblUser"));
    edtUser = new QLineEdit(pnlClient);
    edtUser->setObjectName(QStringLiteral("edtUser"));
    // Wide enough for the three forms of a name, shown in it while it is empty.
    edtUser->setMinimumWidth(
        std::max(DesignEditWidth, edtUser->fontMetrics().horizontalAdvance(TextUserForms()) + 16));
    lblUser->setBuddy(edtUser);
    grid->addWidget(lblUser, row, 0);
    grid->addWidget(edtUser, row++, 1);

    lblPassword = new QLabel(pnlClient);
    lblPassword->setObjectName(QStringLiteral("lblPassword"));
    edtPassword = new QLineEdit(pnlClient);
    edtPassword->setObjectName(QStringLiteral("edtPassword"));
    edtPassword->setEchoMode(QLineEdit::Password);
    lblPassword->setBuddy(edtPassword);
    grid->addWidget(lblPassword, row, 0);
    grid->addWidget(edtPassword, row++, 1);

    chkRemember = new QCheckBox(pnlClient);
    chkRemember->setObjectName(QStringLiteral("chkRemember"));
    grid->addWidget(chkRemember, row++, 0, 1, 2);

    lblNoStore = new QLabel(pnlClient);
    lblNoStore->setObjectName(QStringLiteral("lblNoStore"));
    lblNoStore->setWordWrap(true);
    lblNoStore->setVisible(false);
    grid->addWidget(lblNoStore, row++, 0, 1, 2);
    grid->setRowStretch(row, 1);
    grid->setColumnStretch(1, 1);

    for (QCheckBox* box : {chkAsOthers, chkGuest, chkKerberos, chkRemember}) {
        if (box)
            connect(box, &QCheckBox::toggled, this, [this] { UpdateFields(); });
    }
    connect(edtPassword, &QLineEdit::textEdited, this, [this] {
        Filled = false;
        UpdateActions();
    });
    connect(edtUser, &QLineEdit::textEdited, this, [this] {
        // A password found for another name does not belong to this one.
        if (Filled) {
            edtPassword->clear();
            Filled = false;
        }
        UpdateActions();
    });
    connect(edtUser, &QLineEdit::editingFinished, this, &TdlgConnectAs::LookUpPassword);
    UpdateFields();
}

bool TdlgConnectAs::OwnChoice() const {
    return !chkAsOthers || !chkAsOthers->isChecked();
}

void TdlgConnectAs::ApplyTexts() {
    TdlgAbst::ApplyTexts();
    setWindowTitle(Host.isEmpty() ? TitleOf(TextConnectAs())
                                  : TextWithDetail(TitleOf(TextConnectHostAs()), Host));
    if (chkAsOthers)
        chkAsOthers->setText(TextAsOtherHosts());
    chkGuest->setText(TextGuest());
    chkKerberos->setText(TextUseKerberosTicket());
    lblUser->setText(TextUser());
    edtUser->setPlaceholderText(TextUserForms());
    edtUser->setAccessibleName(TextUser());
    edtUser->setAccessibleDescription(TextUserForms());
    lblPassword->setText(TextPassword());
    edtPassword->setAccessibleName(TextPassword());
    chkRemember->setText(TextRememberPassword());
    lblNoStore->setText(TextNoSecretStore());
    GrowToFit();
}

void TdlgConnectAs::PlaceDefault() {
    SetDefaultSize(DesignClient);
    GrowToFit();
    TdlgAbst::PlaceDefault();
}

void TdlgConnectAs::GrowToFit() {
    // A wrapped note needs the height its width gives it, which no minimum size tells.
    QLayout* layout = pnlClient->layout();
    layout->activate();
    const int width = std::max(pnlClient->width(), layout->minimumSize().width());
    const int need = layout->hasHeightForWidth() ? layout->totalHeightForWidth(width)
                                                 : layout->totalSizeHint().height();
    if (need > pnlClient->height())
        resize(size().width(), size().height() + need - pnlClient->height());
}

void TdlgConnectAs::UpdateFields() {
    const bool own = OwnChoice();
    chkGuest->setEnabled(own);
    const bool notGuest = own && !chkGuest->isChecked();
    chkKerberos->setEnabled(notGuest && TicketCache);
    const bool account = notGuest && !chkKerberos->isChecked();
    for (QWidget* w : std::initializer_list<QWidget*>{lblUser, edtUser, lblPassword, edtPassword})
        w->setEnabled(account);
    chkRemember->setEnabled(account && !NoStore);
    UpdateActions();
}

void TdlgConnectAs::actOKUpdate() {
    bool ok = true;
    if (OwnChoice() && !chkGuest->isChecked()) {
        if (chkKerberos->isChecked())
            ok = TicketCache;
        else
            ok = TkxCredentials::IsUserText(edtUser->text()) && !edtPassword->text().isEmpty();
    }
    actOK->setEnabled(ok);
}

void TdlgConnectAs::SetChoice(const TkxConnectAs& choice) {
    if (chkAsOthers)
        chkAsOthers->setChecked(choice.Mode == TkxConnectAs::AsOtherHosts);
    chkGuest->setChecked(choice.Mode == TkxConnectAs::Guest);
    // Without a ticket there is nothing to use; the account fields stand in.
    chkKerberos->setChecked(choice.Mode == TkxConnectAs::Kerberos && TicketCache);
    edtUser->setText(choice.User);
    edtPassword->setText(choice.Password);
    chkRemember->setChecked(choice.Remember);
    Filled = false;
    ShowNoStore(choice.NoStore);
    UpdateFields();
}

TkxConnectAs TdlgConnectAs::Choice() const {
    TkxConnectAs c;
    if (!OwnChoice())
        c.Mode = TkxConnectAs::AsOtherHosts;
    else if (chkGuest->isChecked())
        c.Mode = TkxConnectAs::Guest;
    else if (chkKerberos->isChecked())
        c.Mode = TkxConnectAs::Kerberos;
    else
        c.Mode = TkxConnectAs::Account;
    c.User = edtUser->text().trimmed();
    c.Password = edtPassword->text();
    c.Remember = chkRemember->isChecked() && !NoStore;
    c.NoStore = NoStore;
    return c;
}

void TdlgConnectAs::ShowNoStore(bool noStore) {
    NoStore = noStore;
    lblNoStore->setVisible(noStore);
    if (noStore)
        chkRemember->setChecked(false);
    UpdateFields();
    if (noStore && isVisible())
        GrowToFit();
}

void TdlgConnectAs::LookUpPassword() {
    const QString user = edtUser->text().trimmed();
    if (LookedUpOnce && user == LookedUp)
        return;
    LookedUpOnce = true;
    LookedUp = user;
    // Also with no name yet: the answer tells whether there is a store at all.
    LookUpRememberedPassword(Host, user, this, [this, user](const TkxKeyringAnswer& a) {
        if (a.Outcome == TkxKeyringAnswer::NoStore || a.Outcome == TkxKeyringAnswer::Ok ||
            a.Outcome == TkxKeyringAnswer::NotFound)
            ShowNoStore(a.Outcome == TkxKeyringAnswer::NoStore);
        if (a.Outcome != TkxKeyringAnswer::Ok || user.isEmpty() ||
            edtUser->text().trimmed() != user || !edtPassword->text().isEmpty())
            return;
        edtPassword->setText(a.Password);
        chkRemember->setChecked(true);
        Filled = true;
        UpdateActions();
    });
}

bool ExecuteConnectAsDialog(QWidget* owner, TkxConnectAs& inOut, const QString& host) {
    const auto dialog = std::make_unique<TdlgConnectAs>(owner, host);
    dialog->SetChoice(inOut);
    dialog->LookUpPassword();
    if (dialog->ShowModal() != TfrmAbst::mrOk)
        return false;
    inOut = dialog->Choice();
    return true;
}

bool ExecuteConnectAs(QWidget* owner, TkxAccounts& accounts, const QString& host) {
    TkxConnectAs choice = accounts.Choice(host);
    const bool confirmed = ExecuteConnectAsDialog(owner, choice, HostOfAddress(host));
    if (confirmed)
        accounts.SetChoice(choice, host);
    choice.Password.fill(QChar(0));
    choice.Password.clear();
    return confirmed;
}
