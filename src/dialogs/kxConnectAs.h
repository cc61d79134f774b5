#pragma once

#include "dialogs/kxAbstDlg.h"
#include "document/kxAccounts.h"

#include <QString>

class QCheckBox;
class QLabel;
class QLineEdit;

// Who the search connects as, for every host or for one host: guest, a user with a password,
// or the user's Kerberos ticket (offered when there is a ticket cache). A password remembered
// in the secret store for the user name is filled in; when no store runs, the dialog says so.
class TdlgConnectAs : public TdlgAbst {
    Q_OBJECT
public:
    // host: the host the choice is for; empty for every host.
    explicit TdlgConnectAs(QWidget* owner, const QString& host = {});

    QCheckBox* chkAsOthers; // only for a host
    QCheckBox* chkGuest;
    QCheckBox* chkKerberos;
    QLabel* lblUser;
    QLineEdit* edtUser;
    QLabel* lblPassword;
    QLineEdit* edtPassword;
    QCheckBox* chkRemember;
    QLabel* lblNoStore;

    void SetChoice(const TkxConnectAs& choice);
    TkxConnectAs Choice() const;
    // Asks the secret store for the password of the user name as typed (and so learns
    // whether a store runs); a remembered one fills an empty password field.
    void LookUpPassword();

protected:
    void ApplyTexts() override;
    void PlaceDefault() override;
    void actOKUpdate() override;

private:
    void UpdateFields();
    void GrowToFit();
    void ShowNoStore(bool noStore);
    bool OwnChoice() const;

    QString Host;
    bool TicketCache = false;
    bool NoStore = false;
    bool Filled = false; // the password came from the store, not from the user
    QString LookedUp;
    bool LookedUpOnce = false;
};

// Runs the dialog on inOut; true (and inOut the new choice) when confirmed.
bool ExecuteConnectAsDialog(QWidget* owner, TkxConnectAs& inOut, const QString& host = {});

// The dialog for every host or for one host (the address of a host node will do), on the
// accounts' choice; the new choice is applied when confirmed.
bool ExecuteConnectAs(QWidget* owner, TkxAccounts& accounts, const QString& host = {});
