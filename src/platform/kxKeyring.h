#pragma once

// Passwords the user asked to remember, kept in the desktop's secret store (the Secret Service
// of the session) and nowhere else: never in the settings, a project or a plain-text fallback.

#include <QString>

#include <functional>

class QObject;

struct TkxKeyringAnswer {
    enum Result { Ok, NotFound, NoStore, Failed } Outcome = Failed;
    QString Password;  // when Ok after a read
    QString ErrorText; // the store's own words when NoStore or Failed
};

using TkxKeyringDone = std::function<void(const TkxKeyringAnswer&)>;

// Asynchronous: `done` runs on context's thread once the store has answered (not at all when
// context is destroyed first). For the window, which must not wait on the store.
void ReadRememberedPassword(const QString& account, QObject* context, TkxKeyringDone done);
void RememberPassword(const QString& account, const QString& password, QObject* context,
                      TkxKeyringDone done);
void ForgetPassword(const QString& account, QObject* context, TkxKeyringDone done);

// Synchronous versions for a program without a window: they wait (serving only this request)
// for at most timeoutMs, then answer Failed.
TkxKeyringAnswer ReadRememberedPasswordNow(const QString& account, int timeoutMs = 30000);
TkxKeyringAnswer RememberPasswordNow(const QString& account, const QString& password,
                                     int timeoutMs = 30000);
TkxKeyringAnswer ForgetPasswordNow(const QString& account, int timeoutMs = 30000);
