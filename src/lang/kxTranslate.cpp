#include "lang/kxTranslate.h"

#include "lang/kxLanguages.h"
#include "model/kxErrors.h"
#include "storage/kxUtils.h"

#include <QFileDialog>
#include <QPlainTextEdit>
#include <QStringEncoder>
#include <QVBoxLayout>

#include <memory>

namespace {
const QSize DesignClient(445, 357);
} // namespace

TdlgTranslate::TdlgTranslate(QWidget* owner) : TdlgAbst(owner) {
    auto* column = new QVBoxLayout(pnlClient);
    column->setContentsMargins(8, 8, 8, 0);
    memoTrans = new QPlainTextEdit(pnlClient);
    memoTrans->setObjectName(QStringLiteral("memoTrans"));
    memoTrans->setLineWrapMode(QPlainTextEdit::NoWrap);
    memoTrans->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memoTrans->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memoTrans->setTabChangesFocus(true);
    column->addWidget(memoTrans);
    SetDefaultSize(DesignClient);
}

void WriteTranslationFile(const QString& fileName, const QStringList& lines) {
    QStringEncoder toUtf16(QStringConverter::Utf16LE);
    QByteArray bytes("\xFF\xFE", 2);
    for (const QString& line : lines) {
        bytes += toUtf16.encode(line);
        bytes += toUtf16.encode(u"\r\n");
    }
    const QString what = QStringLiteral("translation file");
    WriteFileSafely(fileName, what, [&](QIODevice& file) {
        if (file.write(bytes) != bytes.size())
            throw EkxError(
                QStringLiteral("Can not write %1 %2: %3").arg(what, fileName, file.errorString()));
    });
}

void ExecuteTranslateRequest(QWidget* owner) {
    const TDWordArray languages = OtherKeyboardLanguages();
    if (languages.empty())
        return;
    const auto dialog = std::make_unique<TdlgTranslate>(owner);
    dialog->setWindowTitle(TextSendTranslation());
    QStringList lines;
    for (int id = 0; id < TextCount(); ++id)
        lines += LanguageText(languages.front(), id);
    SetMemoLines(dialog->memoTrans, lines);
    if (dialog->ShowModal() != TfrmAbst::mrOk)
        return;

    QFileDialog saveTrans(owner, TextSaveAs());
    saveTrans.setObjectName(QStringLiteral("saveTrans"));
    saveTrans.setAcceptMode(QFileDialog::AcceptSave);
    saveTrans.setFileMode(QFileDialog::AnyFile);
    saveTrans.setDefaultSuffix(QStringLiteral("txt"));
    saveTrans.setNameFilters(TextFileFilterQt().split(QStringLiteral(";;")));
    // The file is replaced without a question, as the user named it to be written.
    saveTrans.setOption(QFileDialog::DontConfirmOverwrite);
    if (saveTrans.exec() != QDialog::Accepted || saveTrans.selectedFiles().isEmpty())
        return;
    WriteTranslationFile(saveTrans.selectedFiles().front(), MemoLines(dialog->memoTrans));
}
