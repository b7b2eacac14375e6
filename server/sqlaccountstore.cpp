#include "server/sqlaccountstore.h"

#include <QAtomicInt>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

SqlAccountStore::SqlAccountStore(bool readOnly)
    : m_readOnly(readOnly)
{
    // Several stores may be open in one process (tests, restarts): names must differ.
    static QAtomicInt serial;
    m_connection = QStringLiteral("velka-accounts-%1").arg(serial.fetchAndAddRelaxed(1));
}

SqlAccountStore::~SqlAccountStore()
{
    {
        QSqlDatabase db = database();
        if (db.isOpen())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

AccountStore::Result SqlAccountStore::addAccount(const NewAccount &account, qint64 *login)
{
    if (m_readOnly) {
        m_error = QStringLiteral("the store is read-only");
        return Result::ReadOnly;
    }
    Q_ASSERT(account.details.size() == accountDetailNames().size());
    return insert(account, login);
}

QString SqlAccountStore::accountsTable(QLatin1String login, QLatin1String news, QLatin1String created)
{
    QString columns;
    for (const QString &name : accountDetailNames())
        columns += name + QLatin1String(" TEXT NOT NULL, ");
    return QLatin1String("CREATE TABLE IF NOT EXISTS accounts (login ") + login + QLatin1String(", ") + columns
        + QLatin1String("news ") + news + QLatin1String(" NOT NULL, pwhash TEXT NOT NULL, created ") + created
        + QLatin1String(" NOT NULL)");
}

bool SqlAccountStore::prepareInsert(QSqlQuery &query, const NewAccount &account, const QVariant &created,
                                    QLatin1String tail)
{
    const QStringList names = accountDetailNames();
    QString marks;
    for (qsizetype i = 0; i < names.size() + 3; ++i)
        marks += i == 0 ? QLatin1String("?") : QLatin1String(", ?");
    if (!query.prepare(QLatin1String("INSERT INTO accounts (") + names.join(QLatin1String(", "))
                       + QLatin1String(", news, pwhash, created) VALUES (") + marks + u')' + tail))
        return false;
    for (const QString &value : account.details)
        query.addBindValue(value);
    query.addBindValue(account.news ? 1 : 0);
    query.addBindValue(QString::fromLatin1(account.passwordHash));
    query.addBindValue(created);
    return true;
}

bool SqlAccountStore::schemaFailed(const QSqlQuery &query)
{
    QSqlDatabase db = database();
    m_error = QStringLiteral("cannot create the accounts table: %1")
                  .arg(query.lastError().isValid() ? query.lastError().text() : db.lastError().text());
    db.rollback();
    return false;
}

AccountStore::Result SqlAccountStore::passwordHash(qint64 login, QByteArray *hash)
{
    QSqlQuery query(database());
    query.prepare(QStringLiteral("SELECT pwhash FROM accounts WHERE login = ?"));
    query.addBindValue(login);
    if (!query.exec())
        return failure(query.lastError());
    if (!query.next())
        return Result::NotFound;
    *hash = query.value(0).toString().toLatin1();
    return Result::Ok;
}

AccountStore::Result SqlAccountStore::replacePasswordHash(qint64 login, const QByteArray &hash)
{
    if (m_readOnly)
        return Result::ReadOnly;
    QSqlQuery query(database());
    query.prepare(QStringLiteral("UPDATE accounts SET pwhash = ? WHERE login = ?"));
    query.addBindValue(QString::fromLatin1(hash));
    query.addBindValue(login);
    if (!query.exec())
        return failure(query.lastError());
    return query.numRowsAffected() > 0 ? Result::Ok : Result::NotFound;
}
