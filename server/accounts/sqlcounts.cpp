#include "server/accounts/sqlaccountstore.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

// What a sign-in reads and writes, and the counts the servers on one database
// share, each changed atomically: the failed sign-ins, and the registrations'
// allowance of each client. On the sign-in's way, so in as few round trips as
// the database allows.

AccountStore::Result SqlAccountStore::passwordHash(qint64 login, QByteArray *hash)
{
    if (!usable())
        return Result::Unavailable;
    QSqlQuery query(database());
    // A disabled account is not found: its sign-in costs the decoy check, and answers 0.
    if (!query.exec(QStringLiteral("SELECT pwhash FROM accounts WHERE login = %1%2")
                        .arg(login)
                        .arg(QLatin1String(m_version >= 4 ? " AND disabled = 0" : ""))))
        return failure(query.lastError());
    if (!query.next())
        return Result::NotFound;
    *hash = query.value(0).toString().toLatin1();
    return Result::Ok;
}

AccountStore::Result SqlAccountStore::recordSignIns(const QList<SignInRecord> &records)
{
    if (m_readOnly)
        return Result::ReadOnly;
    if (!usable())
        return Result::Unavailable;
    // All in one statement. A renewed hash replaces the one it was checked
    // against only: a password set meanwhile (the account tools) stays.
    QStringList rows;
    for (const SignInRecord &record : records) {
        rows << QStringLiteral("(%1, %2, %3, %4)")
                    .arg(QString::number(record.login), literal(timeValue(record.at)),
                         literal(QString::fromLatin1(record.checkedHash)),
                         record.renewedHash.isEmpty() ? QStringLiteral("NULL") : literal(QString::fromLatin1(record.renewedHash)));
    }
    QSqlQuery query(database());
    return query.exec(QStringLiteral("WITH v (login, at, checked, renewed) AS (VALUES %1) UPDATE accounts SET "
                                     "last_sign_in = v.at, pwhash = CASE WHEN accounts.pwhash = v.checked AND v.renewed "
                                     "IS NOT NULL THEN v.renewed ELSE accounts.pwhash END FROM v WHERE accounts.login = v.login")
                          .arg(rows.join(QLatin1String(", "))))
        ? Result::Ok
        : failure(query.lastError());
}

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
    const QString key = literal(source);
    if (!run(query, {dialect().beginWrite,
                     QStringLiteral("INSERT INTO sign_in_failures VALUES (%1, '*', 0, 0, 0, 0), (%1, %2, 0, 0, 0, 0) "
                                    "ON CONFLICT (login, source) DO UPDATE SET strikes = sign_in_failures.strikes "
                                    "RETURNING source, strikes, next_slot, last_seen")
                         .arg(login)
                         .arg(key)}))
        return failed();
    FailureCount everywhere, here;
    while (query.next()) {
        FailureCount &count = query.value(0).toString() == QLatin1String("*") ? everywhere : here;
        count = {query.value(1).toInt(), query.value(2).toLongLong(), query.value(3).toLongLong()};
    }
    change(everywhere, here);
    const auto pick = [](qint64 forEverywhere, qint64 forHere) {
        return QStringLiteral("CASE WHEN source = '*' THEN %1 ELSE %2 END").arg(forEverywhere).arg(forHere);
    };
    // Committed by a statement of ours: the driver's commit() drops SQLite's error code.
    if (!run(query, {QStringLiteral("UPDATE sign_in_failures SET strikes = %1, next_slot = %2, last_seen = %3 "
                                    "WHERE login = %4 AND source IN ('*', %5)")
                         .arg(pick(everywhere.strikes, here.strikes), pick(everywhere.nextSlot, here.nextSlot),
                              pick(everywhere.lastSeen, here.lastSeen))
                         .arg(login)
                         .arg(key),
                     QStringLiteral("COMMIT")}))
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
    return run(query, {QStringLiteral("DELETE FROM sign_in_failures WHERE last_seen < %1").arg(before),
                       QStringLiteral("DELETE FROM registration_limits WHERE tat < %1").arg(before)})
        ? Result::Ok
        : failure(query.lastError());
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
    if (!query.exec(QStringLiteral("INSERT INTO registration_limits VALUES (%1, %2, 0) ON CONFLICT (source) DO UPDATE SET "
                                   "tat = CASE WHEN %3 THEN %4 + %5 ELSE registration_limits.tat END, "
                                   "refused = CASE WHEN %3 THEN 0 ELSE 1 END RETURNING refused")
                        .arg(literal(source))
                        .arg(now + intervalMs)
                        .arg(fits, from)
                        .arg(intervalMs))
        || !query.next())
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
    return query.exec(QStringLiteral("UPDATE registration_limits SET tat = tat - %1 WHERE source = %2")
                          .arg(intervalMs)
                          .arg(literal(source)))
        ? Result::Ok
        : failure(query.lastError());
}
