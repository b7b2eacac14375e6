#include "server/accounts/sqlaccountstore.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

// The counts the servers on one database share, each changed atomically: the
// failed sign-ins, and the registrations' allowance of each client.

AccountStore::Result SqlAccountStore::changeSignInCounts(
    qint64 login, const QString &source, const std::function<void(FailureCount &, FailureCount &)> &change)
{
    if (m_readOnly)
        return Result::ReadOnly;
    if (!usable())
        return Result::Unavailable;
    // Both rows made if need be and locked by a change that changes nothing, read
    // as they stand, then written back: other servers' attempts wait their turn.
    QSqlQuery query(database());
    const auto failed = [&] {
        const QSqlError error = query.lastError();
        QSqlQuery(database()).exec(QStringLiteral("ROLLBACK"));
        return failure(error);
    };
    if (!query.exec(dialect().beginWrite))
        return failure(query.lastError());
    query.prepare(QStringLiteral("INSERT INTO sign_in_failures VALUES (?, '*', 0, 0, 0, 0), (?, ?, 0, 0, 0, 0) "
                                 "ON CONFLICT (login, source) DO UPDATE SET strikes = sign_in_failures.strikes "
                                 "RETURNING source, strikes, next_slot, last_seen"));
    query.addBindValue(login);
    query.addBindValue(login);
    query.addBindValue(source);
    if (!query.exec())
        return failed();
    FailureCount everywhere, here;
    while (query.next()) {
        FailureCount &count = query.value(0).toString() == QLatin1String("*") ? everywhere : here;
        count = {query.value(1).toInt(), query.value(2).toLongLong(), query.value(3).toLongLong()};
    }
    change(everywhere, here);
    // Typed, so that PostgreSQL can prepare it: a bare parameter in a CASE is text.
    query.prepare(QStringLiteral("UPDATE sign_in_failures SET "
                                 "strikes = CASE WHEN source = '*' THEN CAST(? AS INTEGER) ELSE CAST(? AS INTEGER) END, "
                                 "next_slot = CASE WHEN source = '*' THEN CAST(? AS BIGINT) ELSE CAST(? AS BIGINT) END, "
                                 "last_seen = CASE WHEN source = '*' THEN CAST(? AS BIGINT) ELSE CAST(? AS BIGINT) END "
                                 "WHERE login = ? AND source IN ('*', ?)"));
    for (const QVariant &value : {QVariant(everywhere.strikes), QVariant(here.strikes), QVariant(everywhere.nextSlot),
                                  QVariant(here.nextSlot), QVariant(everywhere.lastSeen), QVariant(here.lastSeen),
                                  QVariant(login), QVariant(source)})
        query.addBindValue(value);
    // Committed by a statement of ours: the driver's commit() drops SQLite's error code.
    if (!query.exec() || !query.exec(QStringLiteral("COMMIT")))
        return failed();
    return Result::Ok;
}

AccountStore::Result SqlAccountStore::forgetSignIns(qint64 before)
{
    if (m_readOnly)
        return Result::ReadOnly;
    if (!usable())
        return Result::Unavailable;
    QSqlQuery query(database());
    query.prepare(QStringLiteral("DELETE FROM sign_in_failures WHERE last_seen < ?"));
    query.addBindValue(before);
    if (!query.exec())
        return failure(query.lastError());
    query.prepare(QStringLiteral("DELETE FROM registration_limits WHERE tat < ?"));
    query.addBindValue(before);
    return query.exec() ? Result::Ok : failure(query.lastError());
}

AccountStore::Result SqlAccountStore::takeRegistrationSlot(const QString &source, qint64 now, qint64 intervalMs, int burst,
                                                           bool *allowed)
{
    if (m_readOnly)
        return Result::ReadOnly;
    if (!usable())
        return Result::Unavailable;
    // A bucket as one time, tat: when it would be full again. Taking one moves it
    // an interval on, unless that would be more than burst intervals away. SET
    // reads the row as it was, so both columns see the same tat.
    const QString from = QStringLiteral("(CASE WHEN registration_limits.tat > %1 THEN registration_limits.tat ELSE %1 END)").arg(now);
    const QString fits = QStringLiteral("(%1 + %2 - %3 <= %4)").arg(from).arg(intervalMs).arg(now).arg(intervalMs * burst);
    QSqlQuery query(database());
    query.prepare(QStringLiteral("INSERT INTO registration_limits VALUES (?, %1, 0) ON CONFLICT (source) DO UPDATE SET "
                                 "tat = CASE WHEN %2 THEN %3 + %4 ELSE registration_limits.tat END, "
                                 "refused = CASE WHEN %2 THEN 0 ELSE 1 END RETURNING refused")
                      .arg(now + intervalMs)
                      .arg(fits, from)
                      .arg(intervalMs));
    query.addBindValue(source);
    if (!query.exec() || !query.next())
        return failure(query.lastError());
    *allowed = query.value(0).toInt() == 0;
    return Result::Ok;
}

AccountStore::Result SqlAccountStore::returnRegistrationSlot(const QString &source, qint64 intervalMs)
{
    if (m_readOnly)
        return Result::ReadOnly;
    if (!usable())
        return Result::Unavailable;
    QSqlQuery query(database());
    query.prepare(QStringLiteral("UPDATE registration_limits SET tat = tat - ? WHERE source = ?"));
    query.addBindValue(intervalMs);
    query.addBindValue(source);
    return query.exec() ? Result::Ok : failure(query.lastError());
}
