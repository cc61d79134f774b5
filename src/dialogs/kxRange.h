#pragma once

#include "dialogs/kxAbstDlg.h"

#include <QString>

class QLabel;
class QLineEdit;
class TIPRange;

// A new range: its name, the first address and the last address's fourth octet (its first
// three octets follow the first address). Remembers what was typed, also when cancelled.
class TdlgRange : public TdlgAbst {
    Q_OBJECT
public:
    explicit TdlgRange(QWidget* owner);

    QLabel* lblName;
    QLabel* lblBegin;
    QLabel* lblEnd;
    QLineEdit* edtName;
    QLineEdit* edtB1;
    QLineEdit* edtB2;
    QLineEdit* edtB3;
    QLineEdit* edtB4;
    QLineEdit* edtE1;
    QLineEdit* edtE2;
    QLineEdit* edtE3;
    QLineEdit* edtE4;

    // "Office (192.168.0.1-254)" and "192.168.0.1 - 192.168.0.254" from the fields as typed.
    QString DisplayText() const;
    QString AddressText() const;

protected:
    void ApplyTexts() override;
    void PlaceDefault() override;
    void actOKUpdate() override;

private:
    void TntFormCreate();
    // The fields as typed, parsed leniently: "300" is 44, "x" is 0.
    TIPRange Range() const;
    // The stored order: name, first address, last address.
    QList<QLineEdit*> StoredFields() const;
};

// Asks for a new range. True when confirmed: name is the range's display text, rangeText its
// address text ("FIRST - LAST"). Cancelled, both stay untouched.
bool ExecuteRangeDialog(QWidget* owner, QString& name, QString& rangeText);
