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

// How failed sign-ins slow down the next ones, counted per login and client
// address: an address gets freeFailures at a login, then each attempt waits
// firstDelayMs, doubling with every failure, up to maxDelayMs; beyond that it
// is refused. Once a login has had attackFailures from all addresses together,
// an address that has failed at it gets one free attempt only. Counts are
// forgotten after forgetAfterMs without an attempt.
struct ThrottlePolicy
{
    int freeFailures = 5;          // failures (and attempts under way) before any delay
    qint64 firstDelayMs = 1000;    // doubling with every failure after that
    qint64 maxDelayMs = 60000;     // the longest an attempt waits; beyond it: busy
    qint64 forgetAfterMs = 15 * 60 * 1000;
    int attackFailures = 20;       // at one login from every address, within the forgetting time
    int maxTracked = 100000;       // counts kept at once by a server that may not write its database
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
    // The shared count of failed sign-ins (see ThrottlePolicy), changed by single
    // statements only, so that servers on one database count as one. An attempt
    // from source at login arriving at now (ms since the epoch) counts at once;
    // *at is when it may be checked (now or later), or -1 when refused, and
    // *nextSlot when the login takes that source's attempts again.
    virtual Result admitSignIn(qint64 login, const QString &source, const ThrottlePolicy &policy, qint64 now,
                               qint64 *at, qint64 *nextSlot) = 0;
    // An admitted attempt ended: accepted (the address's count starts again),
    // or never checked (it no longer counts). A refusal changes nothing more.
    virtual Result endSignIn(qint64 login, const QString &source, bool accepted) = 0;
    // Counts whose last attempt came before `before` are dropped.
    virtual Result forgetSignIns(qint64 before) = 0;
    // A copy of every account into a new file at target that is a database of its
    // own, consistent even while servers go on writing; the accounts copied in count.
    virtual Result backup(const QString &target, qint64 *count) = 0;
    // What went wrong last, for the operator.
    virtual QString errorString() const = 0;
    // Whether the database answers now; a lost connection is opened again.
    virtual bool ping() = 0;
    // Statements that failed, and connections opened again, since the store was opened.
    virtual qint64 errorCount() const = 0;
    virtual qint64 reconnectCount() const = 0;
};
