#include "server/accounts/accountadmin.h"

#include "server/accounts/sqlaccountstore.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

using Result = AccountStore::Result;

namespace {

QString selectAccounts()
{
    return QLatin1String("SELECT login, ") + accountDetailNames().join(QLatin1String(", "))
        + QLatin1String(", news, created, last_sign_in, disabled FROM accounts");
}

AccountRecord readAccount(const QSqlQuery &query)
{
    // SQLite keeps times as ISO 8601 text, PostgreSQL as timestamps: either reads as a QDateTime.
    AccountRecord record;
    int column = 0;
    record.login = query.value(column++).toLongLong();
    for (qsizetype i = 0; i < accountDetailNames().size(); ++i)
        record.details << query.value(column++).toString();
    record.news = query.value(column++).toInt() != 0;
    record.created = query.value(column++).toDateTime().toUTC();
    const QVariant last = query.value(column++);
    record.lastSignIn = last.isNull() ? QDateTime() : last.toDateTime().toUTC();
    record.disabled = query.value(column).toInt() != 0;
    return record;
}

} // namespace

AccountAdmin::AccountAdmin(SqlAccountStore &store)
    : m_store(store)
{
    // The servers let sign-in times wait for the disk; an operator's change does not.
    QSqlQuery(store.database())
        .exec(store.database().driverName() == QLatin1String("QPSQL") ? QStringLiteral("SET synchronous_commit TO on")
                                                                      : QStringLiteral("PRAGMA synchronous=FULL"));
}

QString AccountAdmin::errorString() const
{
    return m_store.errorString();
}

bool AccountAdmin::exec(QSqlQuery &query, const QString &statement, const QVariantList &values)
{
    query.setForwardOnly(true);
    if (!query.prepare(statement))
        return false;
    for (const QVariant &value : values)
        query.addBindValue(value);
    return query.exec();
}

Result AccountAdmin::change(const QString &statement, const QVariantList &values, qint64 login, qint64 *rows)
{
    QSqlQuery query(m_store.database());
    if (!exec(query, statement, values))
        return m_store.failure(query.lastError());
    if (rows)
        *rows = query.numRowsAffected();
    return login > 0 && query.numRowsAffected() == 0 ? notFound(login) : Result::Ok;
}

Result AccountAdmin::notFound(qint64 login)
{
    m_store.m_error = QStringLiteral("no account has login %1").arg(login);
    return Result::NotFound;
}

Result AccountAdmin::find(const AccountFilter &filter, QList<AccountRecord> *page)
{
    // Text is matched here rather than by LIKE: SQLite folds the case of ASCII
    // letters only, and names are often accented.
    QSqlQuery query(m_store.database());
    if (!(filter.login > 0 ? exec(query, selectAccounts() + QLatin1String(" WHERE login = ?"), {filter.login})
                           : exec(query, selectAccounts() + QLatin1String(" ORDER BY login"), {})))
        return m_store.failure(query.lastError());
    const QStringList names = accountDetailNames();
    const qsizetype email = names.indexOf(QLatin1String("ema")), last = names.indexOf(QLatin1String("lna")),
                    first = names.indexOf(QLatin1String("fna"));
    qint64 skip = (filter.page - 1) * filter.pageSize;
    while (page->size() < filter.pageSize && query.next()) {
        const AccountRecord record = readAccount(query);
        const auto has = [&](qsizetype detail, const QString &text) {
            return record.details[detail].contains(text, Qt::CaseInsensitive);
        };
        if ((filter.email.isEmpty() || has(email, filter.email))
            && (filter.name.isEmpty() || has(last, filter.name) || has(first, filter.name)) && skip-- <= 0)
            page->append(record);
    }
    return Result::Ok;
}

Result AccountAdmin::account(qint64 login, AccountRecord *record)
{
    QSqlQuery query(m_store.database());
    if (!exec(query, selectAccounts() + QLatin1String(" WHERE login = ?"), {login}))
        return m_store.failure(query.lastError());
    if (!query.next())
        return notFound(login);
    *record = readAccount(query);
    return Result::Ok;
}

Result AccountAdmin::failures(qint64 login, QList<FailureRow> *counts)
{
    QSqlQuery query(m_store.database());
    if (!exec(query,
              QStringLiteral("SELECT source, strikes, last_seen FROM sign_in_failures WHERE login = ? ORDER BY source"),
              {login}))
        return m_store.failure(query.lastError());
    while (query.next())
        counts->append({query.value(0).toString(), query.value(1).toLongLong(),
                        QDateTime::fromMSecsSinceEpoch(query.value(2).toLongLong(), Qt::UTC)});
    return Result::Ok;
}

Result AccountAdmin::setDisabled(qint64 login, bool disabled)
{
    return change(QStringLiteral("UPDATE accounts SET disabled = ? WHERE login = ?"), {disabled ? 1 : 0, login}, login);
}

Result AccountAdmin::setPasswordHash(qint64 login, const QByteArray &hash)
{
    return change(QStringLiteral("UPDATE accounts SET pwhash = ? WHERE login = ?"), {QString::fromLatin1(hash), login},
                  login);
}

Result AccountAdmin::clearFailures(qint64 login, const QString &source, qint64 *cleared)
{
    return login > 0 ? change(QStringLiteral("DELETE FROM sign_in_failures WHERE login = ?"), {login}, 0, cleared)
                     : change(QStringLiteral("DELETE FROM sign_in_failures WHERE source = ?"), {source}, 0, cleared);
}

Result AccountAdmin::remove(qint64 login)
{
    QSqlDatabase db = m_store.database();
    if (!db.transaction())
        return m_store.failure(db.lastError());
    QSqlQuery query(db);
    QSqlError error;
    qint64 rows = 0;
    if (!exec(query, QStringLiteral("DELETE FROM sign_in_failures WHERE login = ?"), {login})
        || !exec(query, QStringLiteral("DELETE FROM accounts WHERE login = ?"), {login}))
        error = query.lastError();
    else if ((rows = query.numRowsAffected()) > 0 && db.commit())
        return Result::Ok;
    else if (rows > 0)
        error = db.lastError();
    // Undone before the store looks at the connection: PostgreSQL refuses anything in a failed transaction.
    query.finish();
    db.rollback();
    return error.isValid() ? m_store.failure(error) : notFound(login);
}
