#pragma once

#include "server/accountstore.h"

#include <QSqlDatabase>

class QSqlError;
class QSqlQuery;

// What the SQL stores share: one named QtSql connection, the read-only flag,
// the last error, the accounts table's columns, and the statements that add
// an account, read a hash and replace it.
class SqlAccountStore : public AccountStore
{
public:
    ~SqlAccountStore() override;

    bool isReadOnly() const override { return m_readOnly; }
    Result addAccount(const NewAccount &account, qint64 *login) final;
    Result passwordHash(qint64 login, QByteArray *hash) override;
    Result replacePasswordHash(qint64 login, const QByteArray &hash) override;
    QString errorString() const override { return m_error; }

    // Opens the database named by location, creating the accounts table if
    // need be (unless read-only); false with errorString() when it cannot.
    virtual bool open(const QString &location) = 0;

    // A Store opened on location; null with error when it fails.
    template <typename Store>
    static std::unique_ptr<AccountStore> make(const QString &location, bool readOnly, QString *error)
    {
        std::unique_ptr<SqlAccountStore> store = std::make_unique<Store>(readOnly);
        if (store->open(location))
            return store;
        *error = store->errorString();
        return nullptr;
    }

    explicit SqlAccountStore(bool readOnly);

protected:
    QSqlDatabase database() const { return QSqlDatabase::database(m_connection, false); }
    const QString &connectionName() const { return m_connection; }
    // Records the error and tells what it means for the caller.
    virtual Result failure(const QSqlError &error) = 0;
    // Adds the account to a writable store.
    virtual Result insert(const NewAccount &account, qint64 *login) = 0;

    // CREATE TABLE accounts: the login column as given, the details as text,
    // then news, pwhash and created in the types given.
    static QString accountsTable(QLatin1String login, QLatin1String news, QLatin1String created);
    // The INSERT of an account, its values bound; created as this driver keeps a time.
    bool prepareInsert(QSqlQuery &query, const NewAccount &account, const QVariant &created,
                       QLatin1String tail = {});
    // A failed step of creating the schema: the error kept, the transaction undone.
    bool schemaFailed(const QSqlQuery &query);

    QString m_error;
    const bool m_readOnly;

private:
    QString m_connection;
};
