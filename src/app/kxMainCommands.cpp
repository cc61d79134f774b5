// The main window's commands, the questions they ask (a missing password, unsaved changes, a
// project file, a project to recover) and the one way a project is opened.

#include "app/kxMain.h"

#include "dialogs/kxAbout.h"
#include "dialogs/kxConnectAs.h"
#include "dialogs/kxRange.h"
#include "dialogs/kxTargets.h"
#include "document/kxAccounts.h"
#include "document/kxNetChoices.h"
#include "document/kxProjectDoc.h"
#include "document/kxRecovery.h"
#include "lang/kxExtraTexts.h"
#include "lang/kxLanguages.h"
#include "lang/kxTranslate.h"
#include "model/kxDates.h"
#include "model/kxErrors.h"
#include "platform/kxDesktop.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>

namespace {

// The save and recover questions have two answers. Escape or the close box would count as No
// and drop the changes of a user who only meant to back out, so the box waits for Yes or No.
class TYesNoBox : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

protected:
    void keyPressEvent(QKeyEvent* e) override {
        if (e->key() == Qt::Key_Escape)
            e->accept();
        else
            QMessageBox::keyPressEvent(e);
    }
    void closeEvent(QCloseEvent* e) override { e->ignore(); }
};

bool AskYesNo(QWidget* parent, const QString& objectName, const QString& text) {
    TYesNoBox box(parent);
    box.setObjectName(objectName);
    box.setIcon(QMessageBox::Question);
    box.setWindowTitle(QStringLiteral("Orvane"));
    box.setText(text);
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::Yes);
    // The toolkit's buttons speak its own language, which need not be the window's.
    if (const QString yes = YesAnswerText(); !yes.isEmpty())
        box.button(QMessageBox::Yes)->setText(yes);
    if (const QString no = NoAnswerText(); !no.isEmpty())
        box.button(QMessageBox::No)->setText(no);
    return box.exec() == QMessageBox::Yes;
}

} // namespace

bool TfrmMain::AskMissingPasswords() {
    // Each confirmed dialog settles the account it was for.
    for (int asked = 0; asked <= Accounts->HostCount(); ++asked) {
        QString host;
        if (!Accounts->NeedsPassword(&host))
            return true;
        if (!ExecuteConnectAs(this, *Accounts, host))
            return false;
    }
    return !Accounts->NeedsPassword();
}

void TfrmMain::actRunExecute() {
    Command([&] {
        if (AskMissingPasswords())
            Project->Run();
    });
}

void TfrmMain::actContinueExecute() {
    Command([&] {
        if (AskMissingPasswords())
            Project->Continue();
    });
}

void TfrmMain::actRescanExecute() {
    Command([&] {
        // The node is taken after the dialog, which lets events run.
        if (!SelectedNode() || !AskMissingPasswords())
            return;
        if (TkxNode* node = SelectedNode())
            Project->Rescan(node);
    });
}

void TfrmMain::actStopExecute() {
    Command([&] { Project->Stop(); });
}

void TfrmMain::actNewExecute() {
    Command([&] {
        if (!Project->QuerySave(true))
            return;
        Project->NewProject();
        ShowParams();
    });
}

void TfrmMain::actOpenExecute() {
    Command([&] {
        if (!Project->QuerySave(true))
            return;
        const QString name = AskProjectFileName ? AskProjectFileName(false) : QString();
        if (name.isEmpty())
            return;
        OpenProject(name);
    });
}

void TfrmMain::actSaveExecute() {
    Command([&] { Project->QuerySave(false); });
}

void TfrmMain::actSaveAsExecute() {
    Command([&] { Project->SaveProject(true); });
}

void TfrmMain::actXMLExecute() {
    Command([&] { ShellOpen(Project->ExportXml()); });
}

void TfrmMain::actExitExecute() {
    close();
}

void TfrmMain::actRAddExecute() {
    Command([&] {
        QString name, range;
        if (ExecuteRangeDialog(this, name, range))
            Project->AddRange(name, range);
    });
}

void TfrmMain::actAddTargetsExecute() {
    Command([&] {
        TkxTargetList targets;
        if (ExecuteTargetsDialog(this, targets))
            Project->AddTargets(targets);
    });
}

void TfrmMain::actRDeleteExecute() {
    Command([&] {
        if (TkxNode* node = SelectedNode())
            Project->DeleteNode(node);
    });
}

void TfrmMain::actPackExecute() {
    Command([&] { Project->Pack(); });
}

void TfrmMain::actExecuteExecute() {
    Command([&] {
        if (const TkxNode* node = SelectedNode())
            OpenNodeAddress(node->Info.AddressText());
    });
}

void TfrmMain::actAbountExecute() {
    Command([&] {
        TdlgAbout about(this);
        about.StartTimer();
        about.Execute();
    });
}

void TfrmMain::actTranslateExecute() {
    Command([&] { ExecuteTranslateRequest(this); });
}

void TfrmMain::actConnectAsExecute() {
    Command([&] { ExecuteConnectAs(this, *Accounts); });
}

void TfrmMain::actConnectHostAsExecute() {
    Command([&] {
        if (const TkxNode* node = SelectedNode(); node && node->Info.Kind == ikHost)
            ExecuteConnectAs(this, *Accounts, node->Info.AddressText());
    });
}

void TfrmMain::actNetbiosExecute() {
    Command([&] {
        NetOptions.Netbios = actNetbios->isChecked();
        ApplyNetOptions();
    });
}

void TfrmMain::actAllowSmb1Execute() {
    Command([&] {
        NetOptions.AllowSmb1 = actAllowSmb1->isChecked();
        ApplyNetOptions();
    });
}

void TfrmMain::ApplyNetOptions() {
    Services->SetNetOptions(NetOptions);
    SaveNetOptions(NetOptions);
}

bool TfrmMain::SaveQuestionBox() {
    return AskYesNo(this, QStringLiteral("SaveQuestion"), TextSaveProjectQuestion());
}

bool TfrmMain::RecoverQuestionBox(const TkxRecoveryInfo& info) {
    const QString when = DateTimeText(DateTimeToDays(info.Written.toLocalTime()));
    // An untitled project is named as it will be shown, in the window's language.
    const QString name = info.ProjectFileName.isEmpty()
                             ? QStringLiteral("%1%2").arg(TextProject()).arg(info.NewProjectCount)
                             : info.ProjectName;
    return AskYesNo(this, QStringLiteral("RecoverQuestion"),
                    TextRecoverProjectQuestion(name, info.Nodes, when));
}

void TfrmMain::OfferRecovery() {
    Command([&] {
        std::vector<TkxRecovery::TLeftover> leftovers = Recovery->Leftovers();
        for (TkxRecovery::TLeftover& leftover : leftovers) {
            if (!AskRecoverQuestion || !AskRecoverQuestion(leftover.Info)) {
                Recovery->Discard(leftover);
                continue;
            }
            // One project per window: the older files wait for the next start.
            try {
                Recovery->Recover(leftover);
            } catch (...) {
                // Never half a project that looks whole: the file is set aside and reported.
                Project->NewProject();
                ShowParams();
                throw;
            }
            ShowParams();
            return;
        }
    });
}

QString TfrmMain::ProjectFileDialog(bool save) {
    QFileDialog dialog(this, save ? TextSaveAs() : TextOpen());
    dialog.setObjectName(save ? QStringLiteral("tntSave") : QStringLiteral("tntOpen"));
    dialog.setNameFilter(ProjectFileFilterQt());
    dialog.setDefaultSuffix(QStringLiteral("kxor"));
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (save && !Project->IsUntitled())
        dialog.selectFile(Project->ProjectFileName());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    return dialog.selectedFiles().front();
}

void TfrmMain::OpenRecentProject(const QString& fileName) {
    Command([&] {
        if (fileName.isEmpty())
            return;
        if (!QFileInfo::exists(fileName)) {
            Recent->Remove(fileName);
            throw EkxError(QStringLiteral("Can not open project file %1: No such file or directory")
                               .arg(fileName));
        }
        if (!Project->QuerySave(true))
            return;
        OpenProject(fileName);
    });
}

void TfrmMain::OpenProject(const QString& fileName) {
    // Reading leaves the document unmodified and its status renewed. A read that fails may
    // have read the parameters already: the edits show what the document holds either way.
    const auto showParams = qScopeGuard([this] { ShowParams(); });
    Project->ReadProject(fileName);
}
