#include "app/kxApplication.h"

#include "app/kxAbst.h"
#include "model/kxErrors.h"

#include <QtDebug>

TkxApplication::TkxApplication(int& argc, char** argv) : QApplication(argc, argv) {}

TkxApplication* TkxApplication::Instance() {
    return qobject_cast<TkxApplication*>(QCoreApplication::instance());
}

bool TkxApplication::notify(QObject* receiver, QEvent* e) {
    try {
        return QApplication::notify(receiver, e);
    } catch (...) {
        ReportApplicationError(std::current_exception());
        return false;
    }
}

void TkxApplication::RaiseError(const QString& message) {
    Q_EMIT ErrorRaised(QDateTime::currentDateTime(), message);
}

void ReportApplicationError(const std::exception& e) {
    const QString message = ErrorMessage(e);
    if (TkxApplication* app = TkxApplication::Instance())
        app->RaiseError(message);
    else
        qWarning().noquote() << message;
}

void ReportApplicationError(std::exception_ptr e) {
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& error) {
        ReportApplicationError(error);
    } catch (...) {
        ReportApplicationError(EkxError(QStringLiteral("Unknown error")));
    }
}
