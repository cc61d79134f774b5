// The project document's file side: the project file, the XML export and the question that
// protects unsaved changes.

#include "document/kxProjectDoc.h"

#include "model/kxErrors.h"
#include "storage/kxProjectFile.h"
#include "storage/kxUtils.h"
#include "storage/kxXmlExport.h"

#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>

namespace {

TkxProgress ProgressOf(TkxProjectDoc* doc) {
    return [doc](int done, int total) { doc->ShowProgress(done, total); };
}

} // namespace

void TkxProjectDoc::WriteProject(const QString& fileName) {
    // A checkpoint that ends after this write would put older results in its place.
    CancelCheckpoint();
    const TkxLongOperation busy(this);
    {
        const auto clearProgress = qScopeGuard([this] { ShowProgress(QString()); });
        WriteProjectFile(fileName, CurrentParams, Model, ProgressOf(this));
    }
    SetModified(false);
    SetProjectFileName(fileName);
    UpdateStatus();
    Q_EMIT ProjectFileDone(fileName);
}

void TkxProjectDoc::ReadProject(const QString& fileName) {
    int announced = 0;
    if (ReadFrom([&](TkxProjectSink& sink) { ReadProjectFile(fileName, sink); }, announced)) {
        // The tree is not the file: saving it under the file's name would destroy the rest.
        // Untitled and modified, the project is saved only under a name asked for.
        FileName.clear();
        ++NewCount;
        SetModified(true);
        UpdateStatus();
        throw EkxDamagedProject(
            QStringLiteral("The project file %1 holds more after the %2 nodes its header "
                           "announced (a damaged header?): only those were read, and the "
                           "project stays untitled so that saving asks for a file name")
                .arg(fileName)
                .arg(announced));
    }
    SetModified(false);
    SetProjectFileName(fileName);
    UpdateStatus();
    Q_EMIT ProjectFileDone(fileName);
}

void TkxProjectDoc::RecoverProject(QIODevice& device, const QString& projectFileName,
                                   int newProjectCount) {
    int announced = 0;
    if (ReadFrom([&](TkxProjectSink& sink) { ReadProjectData(device, sink); }, announced))
        throw EkxError(QStringLiteral("The recovery file holds more after the %1 nodes its "
                                      "header announced")
                           .arg(announced));
    SetProjectFileName(projectFileName);
    if (projectFileName.isEmpty())
        NewCount = newProjectCount;
    SetModified(true);
    UpdateStatus();
}

bool TkxProjectDoc::ReadFrom(const std::function<void(TkxProjectSink&)>& read, int& announced) {
    const TkxLongOperation busy(this);
    // The nodes read reach views as one model reset, also when the file breaks off.
    bool bulk = false;
    const auto endBulk = qScopeGuard([this, &bulk] {
        if (bulk)
            Model.EndBulk();
    });
    const auto clearProgress = qScopeGuard([this] { ShowProgress(QString()); });
    TkxProjectSink sink;
    sink.Params = CurrentParams;
    sink.ParamsRead = [this](const TkxParams& params) { SetParams(params); };
    sink.ClearTree = [this, &bulk] {
        ClearTree();
        Model.BeginBulk();
        bulk = true;
    };
    sink.AddNodes = [this](std::vector<TkxInfo>&& records, TkxNode* parent) {
        AddInfoNodes(std::move(records), parent);
        return (parent ? parent : Model.Root())->Children.back().get();
    };
    sink.Progress = ProgressOf(this);
    read(sink);
    announced = sink.Announced;
    return sink.MoreAfterNodes;
}

QString TkxProjectDoc::XmlFileName() const {
    if (IsUntitled())
        return QDir::current().absoluteFilePath(ProjectName() + QStringLiteral(".xml"));
    qsizetype separator = -1;
    for (QChar c : {u'\\', u'/', u':'})
        separator = std::max(separator, FileName.lastIndexOf(c));
    const qsizetype dot = FileName.lastIndexOf(u'.');
    const QString base = dot > separator ? FileName.left(dot) : FileName;
    return base + QStringLiteral(".xml");
}

QString TkxProjectDoc::ExportXml(const QString& target) {
    const QString fileName = target.isEmpty() ? XmlFileName() : target;
    // A project saved as *.xml would otherwise be overwritten by its own export.
    if (!IsUntitled() && SameWriteTarget(fileName, FileName))
        throw EkxError(
            QStringLiteral("The XML export would replace the project file %1").arg(FileName));
    const TkxLongOperation busy(this);
    const auto clearProgress = qScopeGuard([this] { ShowProgress(QString()); });
    // A name that makes a valid element is used as it always was; any other one is made valid
    // (SpacesToUnderscores quotes a name holding '_', which no element name may hold).
    QString root = SpacesToUnderscores(ProjectName());
    if (!IsXmlElementName(root))
        root = XmlElementNameOf(ProjectName().split(u' ', Qt::SkipEmptyParts).join(u'_'));
    WriteXmlExport(fileName, root, Model, ProgressOf(this));
    return fileName;
}

bool TkxProjectDoc::QuerySave(bool ask) {
    if (!IsModified)
        return true;
    if (ask && !(AskSaveQuestion && AskSaveQuestion()))
        return true;
    return SaveProject(IsUntitled());
}

bool TkxProjectDoc::SaveProject(bool askName) {
    if (askName) {
        const QString name = AskFileName ? AskFileName() : QString();
        if (name.isEmpty())
            return false;
        SetProjectFileName(name);
        UpdateStatus();
    }
    WriteProject(FileName);
    return true;
}
