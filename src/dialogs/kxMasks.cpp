#include "dialogs/kxMasks.h"

#include "lang/kxLanguages.h"
#include "model/kxDelimited.h"
#include "model/kxMasks.h"

#include <QPlainTextEdit>
#include <QVBoxLayout>

#include <memory>

namespace {
const QSize DesignClient(384, 262);
} // namespace

TdlgMasks::TdlgMasks(QWidget* owner) : TdlgAbst(owner, 1) {
    auto* column = new QVBoxLayout(pnlClient);
    column->setContentsMargins(8, 8, 8, 0);
    memoMasks = new QPlainTextEdit(pnlClient);
    memoMasks->setObjectName(QStringLiteral("memoMasks"));
    memoMasks->setLineWrapMode(QPlainTextEdit::NoWrap);
    memoMasks->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Tab moves on to the buttons: a mask never holds one.
    memoMasks->setTabChangesFocus(true);
    column->addWidget(memoMasks);
}

void TdlgMasks::ApplyTexts() {
    TdlgAbst::ApplyTexts();
    setWindowTitle(TextMasks());
    memoMasks->setAccessibleName(TextMasks());
}

void TdlgMasks::PlaceDefault() {
    SetDefaultSize(DesignClient);
    TdlgAbst::PlaceDefault();
}

QString EditMasks(QWidget* owner, const QString& masks) {
    const auto dialog = std::make_unique<TdlgMasks>(owner);
    SetMemoLines(dialog->memoMasks, SplitMasksText(masks));
    if (dialog->ShowModal() != TfrmAbst::mrOk)
        return masks;
    return JoinDelimited(MemoLines(dialog->memoMasks), u';');
}
