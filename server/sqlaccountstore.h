#pragma once

#include "server/accountstore.h"

#include <QSqlDatabase>

class QSqlError;

// What the SQL stores share: one named QtSql connection, the read-only flag,
// the last error, and the two statements that read and replace a hash.
class SqlAccountStore : public AccountStore
{
public:
    ~SqlAccountStore() override;

    bool isReadOnly() const override { return m_readOnly; }
    Result passwordHash(qint64 login, QByteArray *hash) override;
    Result replacePasswordHash(qint64 login, const QByteArray &hash) override;
    QString errorString() const override { return m_error; }

protected:
    SqlAccountStore(const char *connectionPrefix, bool readOnly);

    QSqlDatabase database() const { return QSqlDatabase::database(m_connection, false); }
    const QString &connectionName() const { return m_connection; }
    // Records the error and tells what it means for the caller.
    virtual Result failure(const QSqlError &error) = 0;

    QString m_error;
    const bool m_readOnly;

private:
    QString m_connection;
};
