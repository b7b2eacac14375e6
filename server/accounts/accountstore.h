#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QStringList>

#include "server/throttle/throttlerule.h"

#include <functional>
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
// the stored one, the one it was checked against, was made at another cost.
struct SignInRecord
{
    qint64 login = 0;
    QDateTime at;
    QByteArray renewedHash;
    QByteArray checkedHash;
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
        // The database cannot be reached now (restarted, failed over, locked):
        // nothing was changed, and the same call may be tried again.
        Unavailable,
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
    // The shared count of failed sign-ins (see ThrottleRule), for servers on one
    // database to count as one: the rows of login over every client ("*") and of
    // source, read and written back in one transaction, change() in between.
    virtual Result changeSignInCounts(qint64 login, const QString &source,
                                      const std::function<void(FailureCount &everywhere, FailureCount &here)> &change) = 0;
    // The limit on registrations from one client: one of source's allowance taken
    // at now in one statement, *allowed false when none is left. The allowance
    // holds burst, and one comes back every intervalMs.
    virtual Result takeRegistrationSlot(const QString &source, qint64 now, qint64 intervalMs, int burst, bool *allowed) = 0;
    // One taken for a registration that made no account, given back.
    virtual Result returnRegistrationSlot(const QString &source, qint64 intervalMs) = 0;
    // Counts whose last attempt came before `before` are dropped, and
    // allowances full again since.
    virtual Result forgetSignIns(qint64 before) = 0;
    // A copy of every account into a new file at target that is a database of its
    // own, consistent even while servers go on writing; the accounts copied in count.
    virtual Result backup(const QString &target, qint64 *count) = 0;
    // What went wrong last, for the operator.
    virtual QString errorString() const = 0;
    // Whether the database answers now (and takes writes, unless read-only); a
    // lost connection is opened again.
    virtual bool ping() = 0;
    // Cuts the statement under way, from another thread: for a database that
    // stopped answering, which no timeout of its own ends. It then fails Unavailable.
    virtual void interrupt() {}
    // What the operator should know once the store is open, e.g. of replication.
    virtual QStringList warnings() const { return {}; }
    // Statements that failed, and connections opened again, since the store was opened.
    virtual qint64 errorCount() const = 0;
    virtual qint64 reconnectCount() const = 0;
};
