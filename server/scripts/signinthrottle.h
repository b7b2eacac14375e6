#pragma once

#include "server/accounts/accountstore.h"

#include <QHash>
#include <QPair>
#include <QString>

// Failed sign-ins per login and client address (see ThrottlePolicy). Attempts
// under way count as failures until they end, so parallel guesses gain
// nothing; delayed attempts are spaced one delay apart. The count lives in the
// account database, shared by every server on it and kept across restarts; a
// server that may not write its database keeps one in its own memory.
class SignInThrottle
{
public:
    // store: null, or read-only, for a count in memory.
    SignInThrottle(const ThrottlePolicy &policy, AccountStore *store);

    // When an attempt by source at login arriving at now (ms since the epoch)
    // may be checked: now, a later time, or -1 when it would wait longer than
    // the longest delay, with *retryAfterSeconds until it would not. Every
    // attempt admitted must be ended by finished() or cancelled().
    qint64 admit(qint64 login, const QString &source, qint64 now, int *retryAfterSeconds);
    void finished(qint64 login, const QString &source, bool accepted, qint64 now);
    // An admitted attempt that was never checked.
    void cancelled(qint64 login, const QString &source);
    // Counts quiet for longer than the policy's forgetting time go.
    void prune(qint64 now);

private:
    struct Entry
    {
        int strikes = 0; // failures and attempts under way
        qint64 nextSlot = 0;
        qint64 last = 0;
    };
    using Key = QPair<qint64, QString>;

    ThrottlePolicy m_policy;
    AccountStore *m_store; // null: in memory
    QHash<Key, Entry> m_entries;
};
