#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QStringList>

#include <limits>
#include <memory>

// A registration as it is kept: the contact details in the order the client
// sends them (civ .. ins), the newsletter choice and the slow hash of the
// password digest. The digest itself never reaches a store.
struct NewAccount
{
    QStringList details;
    bool news = false;
    QByteArray passwordHash;
    QDateTime created;
};

// An accepted sign-in as it is kept: when, and a new hash of the password when
// the stored one was made at another cost.
struct SignInRecord
{
    qint64 login = 0;
    QDateTime at;
    QByteArray renewedHash;
};

// Where accounts live. Every call happens on the thread that opened the store.
class AccountStore
{
public:
    enum class Result {
        Ok,
        NotFound,
        ReadOnly,  // the storage refuses writes: read-only or full
        Exhausted, // no login number left
        Gone,      // the database is no longer where it was opened
        Failed,
    };

    // The client reads a login as a C int, so no login may pass this.
    static constexpr qint64 MaxLogin = std::numeric_limits<int>::max();

    virtual ~AccountStore() = default;

    virtual bool isReadOnly() const = 0;
    // Commits before returning: an account whose login is handed out is on disk.
    virtual Result addAccount(const NewAccount &account, qint64 *login) = 0;
    virtual Result passwordHash(qint64 login, QByteArray *hash) = 0;
    // Accepted sign-ins, in one transaction: their times, and the renewed hashes.
    virtual Result recordSignIns(const QList<SignInRecord> &records) = 0;
    // A copy of every account into a new file at target that is a database of its
    // own, consistent even while servers go on writing; the accounts copied in count.
    virtual Result backup(const QString &target, qint64 *count) = 0;
    // What went wrong last, for the operator.
    virtual QString errorString() const = 0;
};
