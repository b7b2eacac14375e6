#include "server/sqlaccountstore.h"

#include <QAtomicInt>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

SqlAccountStore::SqlAccountStore(const char *connectionPrefix, bool readOnly)
    : m_readOnly(readOnly)
{
    // Several stores may be open in one process (tests, restarts): names must differ.
    static QAtomicInt serial;
    m_connection = QStringLiteral("%1-%2").arg(QLatin1String(connectionPrefix)).arg(serial.fetchAndAddRelaxed(1));
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
