#pragma once

#include "server/accounts/accountstore.h"

#include <QSqlDatabase>

// The column names of NewAccount::details, shared with the client's parameter names.
QStringList accountDetailNames();

class QSqlError;
class QSqlQuery;

// What the SQL stores share: one named QtSql connection, the read-only flag,
// the last error, the schema with its versions and upgrades, and the statements
// that add an account, read a hash and record sign-ins.
class SqlAccountStore : public AccountStore
{
public:
    ~SqlAccountStore() override;

    bool isReadOnly() const override { return m_readOnly; }
    Result addAccount(const NewAccount &account, qint64 *login) final;
    Result passwordHash(qint64 login, QByteArray *hash) override;
    Result recordSignIns(const QList<SignInRecord> &records) override;
    Result changeSignInCounts(qint64 login, const QString &source,
                              const std::function<void(FailureCount &, FailureCount &)> &change) override;
    Result takeRegistrationSlot(const QString &source, qint64 now, qint64 intervalMs, int burst, bool *allowed) override;
    Result returnRegistrationSlot(const QString &source, qint64 intervalMs) override;
    Result forgetSignIns(qint64 before) override;
    QString errorString() const override { return m_error; }
    bool ping() override;
    qint64 errorCount() const override { return m_errorCount; }
    qint64 reconnectCount() const override { return m_reconnectCount; }

    // Opens the database named by location, upgrading its accounts table if
    // need be (unless read-only), or creating it when the store may create;
    // false with errorString() when it cannot.
    virtual bool open(const QString &location) = 0;

    // A Store opened on location; null with error when it fails.
    template <typename Store, typename... Arguments>
    static std::unique_ptr<AccountStore> make(const QString &location, QString *error, Arguments... arguments)
    {
        std::unique_ptr<SqlAccountStore> store = std::make_unique<Store>(arguments...);
        if (store->open(location))
            return store;
        *error = store->errorString();
        return nullptr;
    }

    // create: a database without accounts table, or (SQLite) no file, may be made one.
    SqlAccountStore(bool readOnly, bool create);

    // The accounts table this server writes: 1 the first; 2 adds last_sign_in;
    // 3 adds the shared count of failed sign-ins; 4 disabled accounts and the
    // registrations' allowances.
    static constexpr int SchemaVersion = 4;

protected:
    // How this database spells what the stores share.
    struct Dialect
    {
        QLatin1String login, news, time; // column types
        bool timeAsText;                 // times kept as ISO 8601 text, UTC
        QStringList beginSchemaChange;   // begins it, holding other servers off until it ends
        QStringList recordVersion;       // %1: the version
        QString beginWrite;              // a transaction that holds what it reads until it ends
        QString ping;                    // one value: true when the database takes no writes
    };

    // Finds the schema's version, then creates or upgrades it to SchemaVersion in
    // one transaction; refuses a newer one. A read-only store serves an older one
    // as it is. name: the database, for messages.
    bool prepareSchema(const QString &name);
    virtual Dialect dialect() const = 0;
    // The version the database holds: 0 without tables, -1 when it cannot be read.
    virtual int storedVersion(QSqlQuery &query) = 0;

    QSqlDatabase database() const { return QSqlDatabase::database(m_connection, false); }
    const QString &connectionName() const { return m_connection; }
    // Records the error and tells what it means for the caller.
    virtual Result failure(const QSqlError &error) = 0;
    // Statements run in turn until one fails; query holds the last one's rows.
    // Their values are inlined, quoted by the driver (literal()): nothing on a
    // sign-in's way is prepared, as a prepared statement costs two more round
    // trips, and leaves one to free behind a lost connection.
    bool run(QSqlQuery &query, const QStringList &statements);
    QString literal(const QVariant &value) const;
    // Whether the connection is open; without one a statement would only fail
    // (and Qt say so once a statement), so the caller waits for ping() instead.
    bool usable();
    // Opens the lost connection again.
    virtual bool reconnect();
    virtual void closeConnection();
    // Adds the account to a writable store.
    virtual Result insert(const NewAccount &account, qint64 *login) = 0;

    // The INSERT of an account, its values bound.
    bool prepareInsert(QSqlQuery &query, const NewAccount &account, QLatin1String tail = {});

    QString m_error;
    const bool m_readOnly;
    const bool m_create;
    qint64 m_errorCount = 0;     // counted by failure()
    qint64 m_reconnectCount = 0;
    int m_version = 0; // of the schema in use: an older one only when read-only

private:
    friend class AccountAdmin; // the operators' statements, beside the servers'

    // What makes schema version out of the one before.
    QStringList schemaStep(int version) const;
    QVariant timeValue(const QDateTime &time) const;
    // A failed step of preparing the schema: the error kept, the transaction undone.
    bool schemaFailed(const QSqlQuery &query);

    QString m_connection;
};
