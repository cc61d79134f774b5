#include "dialogs/kxTargets.h"

#include "lang/kxLanguages.h"

#include <QAction>
#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QSignalBlocker>
#include <QTextCursor>
#include <QToolButton>

#include <memory>

namespace {

const QSize DesignClient(440, 300);

// Counts in the digit grouping of the language the texts are in.
QString Count(quint64 n) {
    const QLocale locale = CurrentLanguage() == LangRussian
                               ? QLocale(QLocale::Russian, QLocale::Russia)
                               : QLocale(QLocale::English, QLocale::UnitedStates);
    return locale.toString(n);
}

QString FaultText(const TkxTargetError& e) {
    switch (e.Fault) {
    case TkxTargetFault::NoAddress:
        return e.Piece.isEmpty() ? TextTargetAddressMissing() : TextTargetNoAddress(e.Piece);
    case TkxTargetFault::OctetOver255:
        return TextTargetOctetOver255(e.Piece);
    case TkxTargetFault::BadPrefix:
        return TextTargetBadPrefix(e.Piece);
    case TkxTargetFault::EndsBeforeStart:
        return TextTargetEndsBeforeStart(e.Piece);
    case TkxTargetFault::ExclusionFirst:
        return TextTargetExclusionFirst();
    case TkxTargetFault::TextAfter:
        return TextTargetTextAfter(e.Piece);
    case TkxTargetFault::NotText:
    case TkxTargetFault::CanNotRead:
        break;
    }
    return e.Message();
}

} // namespace

TdlgTargets::TdlgTargets(QWidget* owner) : TdlgAbst(owner, 6) {
    auto* grid = new QGridLayout(pnlClient);
    grid->setContentsMargins(8, 8, 8, 0);
    grid->setVerticalSpacing(6);

    memoTargets = new QPlainTextEdit(pnlClient);
    memoTargets->setObjectName(QStringLiteral("memoTargets"));
    memoTargets->setLineWrapMode(QPlainTextEdit::NoWrap);
    // Tab moves on to the buttons: a target never needs one.
    memoTargets->setTabChangesFocus(true);
    memoTargets->setPlaceholderText(
        QStringLiteral("Office=192.0.2.0/24\n!192.0.2.1\n198.51.100.7 - 198.51.100.20"));

    actFromFile = new QAction(this);
    actFromFile->setObjectName(QStringLiteral("actFromFile"));
    connect(actFromFile, &QAction::triggered, this, &TdlgTargets::actFromFileExecute);
    sbFromFile = new QToolButton(pnlClient);
    sbFromFile->setObjectName(QStringLiteral("sbFromFile"));
    sbFromFile->setDefaultAction(actFromFile);
    sbFromFile->setToolButtonStyle(Qt::ToolButtonTextOnly);
    sbFromFile->setMinimumHeight(DesignButtonHeight);

    lblSummary = new QLabel(pnlClient);
    lblSummary->setObjectName(QStringLiteral("lblSummary"));
    lblSummary->setWordWrap(true);
    lblSummary->setTextFormat(Qt::PlainText);
    // A line from a pasted list may be long; the label must not widen the dialog.
    lblSummary->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);

    cbAllowLarge = new QCheckBox(pnlClient);
    cbAllowLarge->setObjectName(QStringLiteral("cbAllowLarge"));
    cbAllowLarge->hide();
    connect(cbAllowLarge, &QCheckBox::toggled, this, [this](bool on) {
        ConsentedLarge = on ? LargeNow : TkxTargetList();
        ShowSummary();
        UpdateActions();
    });

    grid->addWidget(memoTargets, 0, 0, 1, 2);
    grid->addWidget(lblSummary, 1, 0);
    grid->addWidget(sbFromFile, 1, 1, Qt::AlignTop | Qt::AlignRight);
    grid->addWidget(cbAllowLarge, 2, 0, 1, 2);
    grid->setRowStretch(0, 1);
    grid->setColumnStretch(0, 1);

    connect(memoTargets, &QPlainTextEdit::textChanged, this, &TdlgTargets::memoTargetsChange);
    memoTargetsChange();
}

void TdlgTargets::ApplyTexts() {
    TdlgAbst::ApplyTexts();
    setWindowTitle(TextAddTargetsTitle());
    actFromFile->setText(TextFromFile());
    // A button shows the icon text, which would drop the dots that say a dialog follows.
    actFromFile->setIconText(TextFromFile());
    cbAllowLarge->setText(TextAllowLargeRanges());
    memoTargets->setAccessibleName(TextAddTargetsTitle());
    ShowSummary();
}

void TdlgTargets::PlaceDefault() {
    SetDefaultSize(DesignClient);
    TdlgAbst::PlaceDefault();
}

void TdlgTargets::actOKUpdate() {
    actOK->setEnabled(!FileError && Parsed.Ok() && !Parsed.Targets.empty() &&
                      (LargeNow.empty() || cbAllowLarge->isChecked()));
}

void TdlgTargets::memoTargetsChange() {
    FileError.reset();
    Parsed = ParseTargetList(memoTargets->toPlainText());
    // Consent is given to the large ranges it was asked for: editing other lines keeps it,
    // a large range changed or added asks again.
    TkxTargetList large;
    for (const TkxTarget& t : Parsed.Targets)
        if (t.Count() > LargeRangeSize)
            large.push_back(t);
    if (large != ConsentedLarge) {
        const QSignalBlocker quiet(cbAllowLarge);
        cbAllowLarge->setChecked(false);
        ConsentedLarge.clear();
    }
    LargeNow = std::move(large);
    cbAllowLarge->setVisible(!LargeNow.empty());
    ShowSummary();
    UpdateActions();
}

void TdlgTargets::ShowSummary() {
    QString text;
    if (FileError) {
        text = *FileError;
    } else if (!Parsed.Ok()) {
        text = TextTargetsLine(Parsed.Error->Line, FaultText(*Parsed.Error));
    } else if (const TkxTarget* large = FirstLargeTarget(Parsed.Targets);
               large && !cbAllowLarge->isChecked()) {
        text = TextLargeRange(large->RangeText(), Count(large->Count()));
    } else {
        text = TextTargetsCount(Count(Parsed.Targets.size()), Count(AddressCount(Parsed.Targets)));
        if (const int overlapping = OverlappingCount(Parsed.Targets); overlapping > 0)
            text += QStringLiteral("; ") + TextRangesOverlap(Count(quint64(overlapping)));
    }
    lblSummary->setText(text);
    // A screen reader reads it with the field, where the user is typing.
    memoTargets->setAccessibleDescription(text);
}

bool TdlgTargets::LoadFile(const QString& fileName) {
    const TkxTargetText read = ReadTargetFile(fileName, false);
    if (read.Error) {
        const QString shown = QFileInfo(fileName).fileName();
        FileError = read.Error->Fault == TkxTargetFault::NotText
                        ? TextFileNotText(shown, read.Error->Line)
                        : TextFileCanNotRead(shown, read.Error->Piece);
        ShowSummary();
        UpdateActions();
        return false;
    }
    // Through the cursor, so Undo brings back what was typed before.
    QTextCursor cursor(memoTargets->document());
    cursor.select(QTextCursor::Document);
    cursor.insertText(read.Text);
    return true;
}

void TdlgTargets::actFromFileExecute() {
    QFileDialog dialog(this, TextFromFile().remove(QStringLiteral("...")));
    dialog.setObjectName(QStringLiteral("tntOpenTargets"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    LoadFile(dialog.selectedFiles().front());
}

bool ExecuteTargetsDialog(QWidget* owner, TkxTargetList& targets) {
    const auto dialog = std::make_unique<TdlgTargets>(owner);
    if (dialog->ShowModal() != TfrmAbst::mrOk)
        return false;
    targets = dialog->Targets();
    return true;
}
