#pragma once

#include <QString>
#include <QStringList>
#include <QUrlQuery>

// Reading the scripts' parameters: no network, no store, so that anything a
// caller can put in a URL can be thrown at it alone.

// Answers of register.php other than a new login. The client shows the number.
namespace RegisterError {
enum : int {
    Internal = 0,          // hashing failed, as a rule for want of memory
    MissingParameter = -1,
    TooLong = -2,
    BadDigest = -3,        // pas is not 32 lower-case hex characters
    StorageFailure = -4,
    StorageReadOnly = -5,  // read-only or full
    BadNewsFlag = -6,      // new is neither "0" nor "1"
    ControlCharacter = -7,
    Busy = -8,             // too many passwords waiting to be hashed
    NoLoginLeft = -9,
};
}

// 32 lower-case hex characters: the only shape of a password digest.
bool isDigest(const QString &text);

// A login as the client may send it: a positive decimal the client can hold
// in an int, spaces around it ignored; 0 for anything else.
qint64 parseLogin(const QString &raw);

struct SignInRequest
{
    qint64 login = 0; // 0: malformed, answered as a refusal
    QByteArray digest;
};
SignInRequest parseSignIn(const QUrlQuery &query);

struct RegistrationRequest
{
    int error = 0;       // a RegisterError code, or 0 when every value is fine
    QStringList details; // civ .. ins
    QByteArray digest;
    bool news = false;
};
// Checked in the client's order; the first parameter at fault decides the code.
RegistrationRequest parseRegistration(const QUrlQuery &query, int maxValueLength);

// The script a decoded URL path names inside directory ("login.php",
// "register.php", ...), or empty when it lies elsewhere. Empty segments are skipped.
QString scriptOf(const QString &path, const QStringList &directory);
