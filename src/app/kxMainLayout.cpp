// The main window's stored layout: the panes, the columns of both lists, the start count, the
// new-project count and the language, as the window's own values in its property bag.

#include "app/kxMain.h"

#include "document/kxProjectDoc.h"
#include "lang/kxLanguages.h"
#include "model/kxErrors.h"
#include "storage/kxProps.h"

#include <QGridLayout>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QTextEdit>
#include <QToolBar>
#include <QTreeView>
#include <QTreeWidget>

#include <algorithm>
#include <vector>

namespace {

int PropInt(const TkxProps& props, int i) {
    bool ok = false;
    const int value = props.Items(i).toString().trimmed().toInt(&ok);
    if (!ok)
        throw EkxError(
            QStringLiteral("Props: '%1' is not a number").arg(props.Items(i).toString()));
    return value;
}

} // namespace

void TfrmMain::resizeEvent(QResizeEvent* e) {
    TfrmAbst::resizeEvent(e);
    TntFormResize();
}

void TfrmMain::TntFormResize() {
    const int w = (width() / 100) * 15;
    Panels[0]->setFixedWidth(w);
    Panels[2]->setFixedWidth(w);
    // The search state is never cut off: its panel grows to its text when that is longer.
    Panels[1]->setMinimumWidth(w);
    if (PaneSizes && isVisible())
        ApplyPaneSizes();
}

void TfrmMain::FitParamRows() {
    auto* grid = qobject_cast<QGridLayout*>(pnl12->layout());
    if (!grid)
        return;
    // The parameter rows come first in the grid, a label and its edit each.
    const int rows = int(ParamEdits.size());
    std::vector<QLabel*> labels;
    for (int r = 0; r < rows; ++r) {
        if (const QLayoutItem* item = grid->itemAtPosition(r, 0))
            if (auto* label = qobject_cast<QLabel*>(item->widget()))
                labels.push_back(label);
    }
    int word = 0;
    for (const QLabel* l : labels) {
        for (const QString& w : l->text().split(u' ', Qt::SkipEmptyParts))
            word = std::max(word, l->fontMetrics().horizontalAdvance(w));
    }
    // The label column's width as the grid will make it at the panel's width (this runs
    // before the grid lays the panel out anew).
    const QMargins m = grid->contentsMargins();
    int others = 0;
    for (int c = 1; c < grid->columnCount(); ++c) {
        int column = 0;
        for (int r = 0; r < rows; ++r) {
            if (const QLayoutItem* item = grid->itemAtPosition(r, c))
                column = std::max(column, item->sizeHint().width());
        }
        others += column + (column > 0 ? grid->horizontalSpacing() : 0);
    }
    const int width = std::max(word, pnl12->width() - m.left() - m.right() - others);
    // Explicit minimums are what the splitter and the grid never go below.
    for (QLabel* l : labels) {
        l->setMinimumWidth(word);
        const int height = l->heightForWidth(width);
        if (l->minimumHeight() != height)
            l->setMinimumHeight(height);
    }
    const int errors = 3 * reErrors->fontMetrics().lineSpacing();
    if (reErrors->minimumHeight() != errors)
        reErrors->setMinimumHeight(errors);
}

void TfrmMain::SaveProps(TkxProps& props) {
    const QList<int> left = spl1->sizes();
    const QList<int> params = spl2->sizes();
    const QList<int> details = spl3->sizes();
    props.Add(left.value(0));
    props.Add(params.value(1));
    props.Add(details.value(0));
    for (int i = 0; i < 5; ++i)
        props.Add(lvThreads->header()->sectionSize(i));
    for (int i = 0; i < 6; ++i)
        props.Add(lvDir->header()->sectionSize(i));
    props.Add(Starts + 1);
    props.Add(Project ? Project->NewProjectCount() : 0);
    props.Add(CurrentLanguage());
}

void TfrmMain::LoadProps(TkxProps& props) {
    int i = TkxProps::FirstOwnIndex;
    std::array<int, 3> panes{};
    for (int& size : panes)
        size = PropInt(props, i++);
    std::vector<int> columns;
    for (int c = 0; c < 5 + 6; ++c)
        columns.push_back(PropInt(props, i++));
    const int starts = PropInt(props, i++);
    const int newCount = PropInt(props, i++);
    bool ok = false;
    const quint32 language = props.Items(i).toString().trimmed().toUInt(&ok);
    if (!ok)
        throw EkxError(
            QStringLiteral("Props: '%1' is not a language").arg(props.Items(i).toString()));
    PaneSizes = panes;
    DefaultColumns = false;
    ApplyPaneSizes();
    for (int c = 0; c < 5; ++c)
        lvThreads->header()->resizeSection(c, columns[size_t(c)]);
    for (int c = 0; c < 6; ++c)
        lvDir->header()->resizeSection(c, columns[size_t(5 + c)]);
    Starts = starts;
    Project->SetNewProjectCount(newCount + 1);
    SetCurrentLanguage(language);
    UpdateStatus();
}

void TfrmMain::DefaultLayout(TkxProps&) {
    const QRect screenArea = (screen() ? screen() : QGuiApplication::primaryScreen())->geometry();
    const int w = screenArea.width() / 2, h = screenArea.height() / 2;
    move(screenArea.left() + screenArea.width() / 4, screenArea.top() + screenArea.height() / 4);
    resize(w, h);
    // The client areas as they will be once the window has this size.
    const int bars = menuBar()->sizeHint().height() + tbMain->sizeHint().height() +
                     sbInfo()->sizeHint().height();
    const int paneHeight = std::max(0, h - bars);
    const int left = w / 2;
    // The parameters keep room for all their rows, captions wrapped once (one of them twice).
    const int line = fontMetrics().lineSpacing();
    const int params = std::max(paneHeight / 3, int(ParamEdits.size()) * (2 * line + 6) + line);
    PaneSizes = std::array<int, 3>{left, params, paneHeight / 4};
    DefaultColumns = true;
    ApplyPaneSizes();
    Starts = 1;
    Project->SetNewProjectCount(1);
    SetCurrentLanguage(BuiltInLanguages().front());
    UpdateStatus();
}

void TfrmMain::ApplyPaneSizes() {
    if (!PaneSizes)
        return;
    const auto [left, params, details] = *PaneSizes;
    // The splitters distribute by proportion: give them the whole current extent.
    auto place = [](QSplitter* s, int first, int last, int extent) {
        if (extent <= 0)
            return;
        if (first >= 0)
            s->setSizes({first, std::max(1, extent - first - s->handleWidth())});
        else
            s->setSizes({std::max(1, extent - last - s->handleWidth()), last});
    };
    const QSize client = centralWidget()->size();
    const int width = isVisible() ? client.width() : this->width();
    const int height = isVisible() ? client.height() : spl2->height();
    place(spl1, left, -1, width);
    place(spl2, -1, params, height);
    place(spl3, details, -1, height);
    if (DefaultColumns) {
        // A list's client width is the right pane's less the list's frame.
        const int right = spl1->sizes().value(1);
        auto share = [right](QTreeView* list, int columns) {
            const int each = std::max(1, (right - 2 * list->frameWidth()) / columns);
            for (int c = 0; c < columns; ++c)
                list->header()->resizeSection(c, each);
        };
        share(lvThreads, 5);
        share(lvDir, 6);
    }
    // Applied for good once the window shows at its size.
    if (isVisible() && client.width() >= left) {
        PaneSizes.reset();
        DefaultColumns = false;
    }
}
