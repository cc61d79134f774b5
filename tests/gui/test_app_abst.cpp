#include "app/kxAbst.h"
#include "app/kxApplication.h"
#include "app/kxSaverWindow.h"
#include "gui/kxPrivateSettings.h"
#include "lang/kxLanguages.h"
#include "model/kxErrors.h"

#include <QAction>
#include <QSettings>
#include <QTemporaryDir>
#include <QToolBar>
#include <QToolButton>
#include <QtTest>

namespace {

class TfrmSample : public TfrmAbst {
public:
    explicit TfrmSample(int tag) : TfrmAbst(tag) {
        actRun = new QAction(this);
        auto* bar = addToolBar(QStringLiteral("tbMain"));
        bar->addAction(actRun);
        TntFormCreate();
    }
    QAction* actRun;
    bool RefuseClose = false;
    bool FailClose = false;
    int Applied = 0;

protected:
    void ApplyTexts() override {
        ++Applied;
        actRun->setText(TextRun());
    }
    void TntFormCloseQuery(bool& canClose) override {
        TfrmAbst::TntFormCloseQuery(canClose);
        if (RefuseClose)
            canClose = false;
        if (FailClose)
            throw EkxError(QStringLiteral("Can not write the project"));
    }
};

QToolButton* ButtonOf(QWidget* window, QAction* action) {
    for (auto* b : window->findChildren<QToolButton*>())
        if (b->defaultAction() == action)
            return b;
    return nullptr;
}

class TkxThrower : public QObject {
protected:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User)
            throw EkxError(QStringLiteral("Broken handler"));
        return QObject::event(e);
    }
};

} // namespace

class TestAppAbst : public QObject {
    Q_OBJECT
    TkxPrivateSettings ConfigDir;

private Q_SLOTS:
    void initTestCase() { QVERIFY(ConfigDir.isValid()); }

    void init() { QSettings(QStringLiteral("KX"), QStringLiteral("Orvane")).clear(); }

    // Texts arrive after the show, tool-bar buttons keep only their glyph with the caption as
    // hint, and a language change renews the hint at once.
    void textsAndHints() {
        SetCurrentLanguage(1033);
        TfrmSample w(5);
        w.show();
        QCOMPARE(w.Applied, 0);
        QTRY_COMPARE(w.Applied, 1);
        QToolButton* button = ButtonOf(&w, w.actRun);
        QVERIFY(button);
        QCOMPARE(button->toolButtonStyle(), Qt::ToolButtonIconOnly);
        QCOMPARE(button->toolTip(), QStringLiteral("Run"));
        QCOMPARE(button->accessibleName(), QStringLiteral("Run"));

        SetCurrentLanguage(1049);
        w.SendApplyTexts();
        QCOMPARE(w.Applied, 2);
        QCOMPARE(button->toolTip(), TextRun());
        QVERIFY(button->toolTip() != QStringLiteral("Run"));
        SetCurrentLanguage(1033);
    }

    // The state is stored on every close query that starts allowed, even when the window
    // then refuses to close.
    void stateStoredWhenCloseRefused() {
        TfrmSample w(6);
        w.RefuseClose = true;
        w.show();
        w.move(40, 50);
        QVERIFY(!w.close());
        QVERIFY(w.isVisible());
        QVERIFY(!QSettings(QStringLiteral("KX"), QStringLiteral("Orvane"))
                     .value(QStringLiteral("Data6"))
                     .toString()
                     .isEmpty());
        w.RefuseClose = false;
        // A close question that fails (a project that could not be saved) keeps the window.
        QSignalSpy errors(TkxApplication::Instance(), &TkxApplication::ErrorRaised);
        w.FailClose = true;
        QVERIFY(!w.close());
        QCOMPARE(errors.count(), 1);
        w.FailClose = false;
        QVERIFY(w.close());
    }

    // An error escaping an event handler reaches the errors pane's signal, not the end of
    // the program.
    void uncaughtErrorsAreReported() {
        auto* app = TkxApplication::Instance();
        QVERIFY(app);
        QSignalSpy spy(app, &TkxApplication::ErrorRaised);
        TkxThrower thrower;
        QEvent e(QEvent::User);
        QCoreApplication::sendEvent(&thrower, &e);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(1).toString(), QStringLiteral("Broken handler"));
    }
};

int main(int argc, char** argv) {
    TkxApplication app(argc, argv);
    TestAppAbst test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_app_abst.moc"
