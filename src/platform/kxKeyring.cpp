#include "platform/kxKeyring.h"

#include <qt6keychain/keychain.h>

#include <QEventLoop>
#include <QPointer>
#include <QTimer>

#include <memory>

namespace {

const QString Service = QStringLiteral("Orvane");

TkxKeyringAnswer AnswerOf(const QKeychain::Job& job) {
    TkxKeyringAnswer a;
    switch (job.error()) {
    case QKeychain::NoError:
        a.Outcome = TkxKeyringAnswer::Ok;
        if (auto* read = qobject_cast<const QKeychain::ReadPasswordJob*>(&job))
            a.Password = read->textData();
        return a;
    case QKeychain::EntryNotFound:
        a.Outcome = TkxKeyringAnswer::NotFound;
        return a;
    case QKeychain::AccessDenied:
    case QKeychain::AccessDeniedByUser:
    case QKeychain::CouldNotDeleteEntry:
        a.Outcome = TkxKeyringAnswer::Failed;
        break;
    default:
        // No session bus, no Secret Service, no backend: nothing to keep a password in.
        a.Outcome = TkxKeyringAnswer::NoStore;
        break;
    }
    a.ErrorText = job.errorString();
    return a;
}

// The job frees itself once it has reported; no fallback to a plain-text file, ever.
void Start(QKeychain::Job* job, const QString& account, QObject* context, TkxKeyringDone done) {
    job->setAutoDelete(true);
    job->setInsecureFallback(false);
    job->setKey(account);
    QPointer<QObject> guard(context);
    QObject::connect(job, &QKeychain::Job::finished, context,
                     [guard, done = std::move(done)](QKeychain::Job* finished) {
                         if (guard)
                             done(AnswerOf(*finished));
                     });
    job->start();
}

template <class Begin> TkxKeyringAnswer Wait(Begin begin, int timeoutMs) {
    QEventLoop loop;
    TkxKeyringAnswer answer;
    answer.ErrorText = QStringLiteral("The secret store did not answer");
    bool answered = false;
    begin(&loop, [&](const TkxKeyringAnswer& a) {
        answer = a;
        answered = true;
        loop.quit();
    });
    if (!answered) {
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    return answer;
}

} // namespace

void ReadRememberedPassword(const QString& account, QObject* context, TkxKeyringDone done) {
    Start(new QKeychain::ReadPasswordJob(Service), account, context, std::move(done));
}

void RememberPassword(const QString& account, const QString& password, QObject* context,
                      TkxKeyringDone done) {
    auto* job = new QKeychain::WritePasswordJob(Service);
    job->setTextData(password);
    Start(job, account, context, std::move(done));
}

void ForgetPassword(const QString& account, QObject* context, TkxKeyringDone done) {
    Start(new QKeychain::DeletePasswordJob(Service), account, context, std::move(done));
}

TkxKeyringAnswer ReadRememberedPasswordNow(const QString& account, int timeoutMs) {
    return Wait([&](QObject* c, TkxKeyringDone d) { ReadRememberedPassword(account, c, d); },
                timeoutMs);
}

TkxKeyringAnswer RememberPasswordNow(const QString& account, const QString& password,
                                     int timeoutMs) {
    return Wait([&](QObject* c, TkxKeyringDone d) { RememberPassword(account, password, c, d); },
                timeoutMs);
}

TkxKeyringAnswer ForgetPasswordNow(const QString& account, int timeoutMs) {
    return Wait([&](QObject* c, TkxKeyringDone d) { ForgetPassword(account, c, d); }, timeoutMs);
}
