#include "app/kxSaverWindow.h"

#include "model/kxErrors.h"

#include <QSettings>
#include <QVariant>

TkxSaver::TkxSaver(QWidget* owner, int tag) : Window(owner), WindowTag(tag) {
    if (WindowTag < 0) {
        WindowTag = 0;
        if (owner) {
            bool ok = false;
            const int fromProperty = owner->property("tag").toInt(&ok);
            if (ok)
                WindowTag = fromProperty;
        }
    }
}

QString TkxSaver::ValueName() const {
    return QStringLiteral("Data%1").arg(WindowTag);
}

void TkxSaver::Restore() {
    if (!Active())
        return;
    try {
        RestoreSteps();
    } catch (...) {
        if (OnRestoreFailed)
            OnRestoreFailed(Bag);
    }
}

void TkxSaver::RestoreSteps() {
    QString stored;
    {
        QSettings settings(QStringLiteral("KX"), QStringLiteral("Orvane"));
        stored = settings.value(ValueName()).toString();
    }
    Bag.ReadComponentText(DecodeSettingsText(stored));

    // Each value is applied as soon as it is known good, as assigning the properties one by
    // one would: a bad Height still leaves Left, Top and Width applied.
    auto coordinate = [this](int i, int lowest) {
        bool ok = false;
        const int value = Bag.Items(i).toString().trimmed().toInt(&ok);
        if (!ok || value < lowest || value > MaxCoordinate)
            throw EkxError(QStringLiteral("Props: '%1' is not a window coordinate")
                               .arg(Bag.Items(i).toString()));
        return value;
    };
    Window->move(coordinate(0, -MaxCoordinate), Window->y());
    Window->move(Window->x(), coordinate(1, -MaxCoordinate));
    Window->resize(coordinate(2, 0), Window->height());
    Window->resize(Window->width(), coordinate(3, 0));
    if (OnLoad)
        OnLoad(Bag);
    Bag.Clear();
}

void TkxSaver::Save() {
    if (!Active())
        return;
    Bag.Clear();
    Bag.Add(Window->x());
    Bag.Add(Window->y());
    Bag.Add(Window->width());
    Bag.Add(Window->height());
    if (OnSave)
        OnSave(Bag);
    const QString stored = EncodeSettingsText(Bag.ComponentText());
    QSettings settings(QStringLiteral("KX"), QStringLiteral("Orvane"));
    settings.setValue(ValueName(), stored);
    settings.sync();
    if (settings.status() != QSettings::NoError)
        throw EkxError(
            QStringLiteral("Can not write the window settings to %1").arg(settings.fileName()));
    Bag.Clear();
}
