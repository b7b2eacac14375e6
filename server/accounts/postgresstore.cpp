#include "server/accounts/postgresstore.h"
#include "server/accounts/postgresuri.h"
#include "server/accounts/sqlaccountstore.h"

#include <QMutex>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <libpq-fe.h>
#include <sys/socket.h>

namespace {

// Any constant will do, as long as every server uses the same one: it
// serialises the creation of the tables between servers starting together.
constexpr qint64 SchemaLock = 0x56454c4b41; // "VELKA"

class PostgresAccountStore final : public SqlAccountStore
{
public:
    PostgresAccountStore(bool readOnly, bool create, int statementTimeoutMs)
        : SqlAccountStore(readOnly, create)
        , m_statementTimeoutMs(statementTimeoutMs)
    {}

    void interrupt() override;
    QStringList warnings() const override { return m_warnings; }

private:
    bool connect();
    bool reconnect() override;
    void closeConnection() override;
    PGconn *handle() const;
    Dialect dialect() const override;
    int storedVersion(QSqlQuery &query) override;
    Result backup(const QString &target, qint64 *count) override;
    bool open(const QString &uri) override;
    Result insert(const NewAccount &account, qint64 *login) override;
    Result failure(const QSqlError &error) override;
    void lookAtReplication();

    const int m_statementTimeoutMs;
    QString m_target; // the URI without its password, for messages
    QStringList m_warnings;
    QMutex m_socketLock; // interrupt() comes from another thread
    int m_socket = -1;
};

bool PostgresAccountStore::open(const QString &uri)
{
    PostgresConnection connection;
    if (!readPostgresUri(uri, !m_readOnly, &connection, &m_error))
        return false;
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName());
    if (!db.isValid()) {
        m_error = QStringLiteral("the Qt PostgreSQL driver is not available (Debian: libqt6sql6-psql)");
        return false;
    }
    db.setDatabaseName(connection.database);
    db.setUserName(connection.user);
    db.setPassword(connection.password);
    db.setConnectOptions(connection.options.join(u';'));
    m_target = connection.target;
    if (!connect() || !prepareSchema(m_target))
        return false;
    lookAtReplication();
    return true;
}

PGconn *PostgresAccountStore::handle() const
{
    // The driver hands out libpq's connection under the name of its struct.
    const QVariant handle = database().driver()->handle();
    const bool connection = qstrcmp(handle.typeName(), "pg_conn*") == 0 || qstrcmp(handle.typeName(), "PGconn*") == 0;
    return connection ? *static_cast<PGconn *const *>(handle.data()) : nullptr;
}

bool PostgresAccountStore::connect()
{
    QSqlDatabase db = database();
    if (!db.open()) {
        m_error = QStringLiteral("cannot connect to %1: %2").arg(m_target, db.lastError().text());
        return false;
    }
    {
        const QMutexLocker lock(&m_socketLock);
        PGconn *const connection = handle();
        m_socket = connection ? PQsocket(connection) : -1;
        // The database's notices ("terminating connection...") as the server's
        // warnings, one line each, not raw on standard error.
        if (connection)
            PQsetNoticeReceiver(connection, [](void *, const PGresult *result) {
                qWarning("the database says: %s", PQresultErrorMessage(result));
            }, nullptr);
    }
    QSqlQuery query(db);
    // A read-only server must not write even by mistake; the database enforces it.
    // Otherwise the counts and times written at sign-ins need not wait for the
    // disk; a registration does (insert()).
    const QString writes = m_readOnly ? QStringLiteral("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY")
                                      : QStringLiteral("SET synchronous_commit TO off");
    if (!query.exec(writes) || !query.exec(QStringLiteral("SET statement_timeout = %1").arg(m_statementTimeoutMs))) {
        m_error = query.lastError().text();
        closeConnection();
        return false;
    }
    return true;
}

bool PostgresAccountStore::reconnect()
{
    closeConnection();
    if (!connect())
        return false;
    ++m_reconnectCount;
    return true;
}

void PostgresAccountStore::closeConnection()
{
    {
        const QMutexLocker lock(&m_socketLock);
        m_socket = -1;
    }
    QSqlDatabase db = database();
    db.close();
}

void PostgresAccountStore::interrupt()
{
    // The statement waiting on the socket sees the connection end at once;
    // failure() then closes it and the lane's look connects again.
    const QMutexLocker lock(&m_socketLock);
    if (m_socket >= 0)
        ::shutdown(m_socket, SHUT_RDWR);
}

void PostgresAccountStore::lookAtReplication()
{
    // Standbys fed asynchronously may lack a registration already answered.
    QSqlQuery query(database());
    if (m_readOnly
        || !query.exec(QStringLiteral("SELECT (SELECT count(*) FROM pg_stat_replication), "
                                      "current_setting('synchronous_standby_names') = ''"))
        || !query.next() || query.value(0).toInt() == 0 || !query.value(1).toBool())
        return;
    m_warnings << QStringLiteral("%1 standby(s) of %2 replicate asynchronously: at a failover, registrations already "
                                 "answered could be lost and their logins handed out again (synchronous_standby_names)")
                      .arg(query.value(0).toInt())
                      .arg(m_target);
}

SqlAccountStore::Dialect PostgresAccountStore::dialect() const
{
    // The identity sequence hands each login out once, whichever server asks, and never
    // again, even after a rollback or a removed account. The advisory lock serialises
    // schema changes between servers starting together.
    return {QLatin1String("INTEGER GENERATED ALWAYS AS IDENTITY (START WITH 1 MAXVALUE 2147483647 NO CYCLE) PRIMARY KEY"),
            QLatin1String("SMALLINT"), QLatin1String("TIMESTAMPTZ"), false,
            {QStringLiteral("BEGIN"), QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(SchemaLock)},
            {QStringLiteral("CREATE TABLE IF NOT EXISTS velka_schema (version INTEGER NOT NULL)"),
             QStringLiteral("INSERT INTO velka_schema (version) VALUES (%1)")},
            QStringLiteral("BEGIN"), QStringLiteral("SELECT pg_is_in_recovery()")};
}

int PostgresAccountStore::storedVersion(QSqlQuery &query)
{
    // Looked at without writing, so that a read-only database can still serve sign-ins. A
    // query of the catalog, not to_regclass(): that may answer from a view of the catalog
    // taken before the schema lock was granted, blind to another server's tables.
    if (!query.exec(QStringLiteral("SELECT count(*) > 0 FROM pg_catalog.pg_tables WHERE schemaname = current_schema() "
                                   "AND tablename = 'velka_schema'"))
        || !query.next())
        return -1;
    if (!query.value(0).toBool())
        return 0;
    if (!query.exec(QStringLiteral("SELECT max(version) FROM velka_schema")) || !query.next())
        return -1;
    return query.value(0).toInt();
}

AccountStore::Result PostgresAccountStore::backup(const QString &, qint64 *)
{
    m_error = QStringLiteral("a PostgreSQL database is copied with pg_dump, while the servers go on");
    return Result::Failed;
}

AccountStore::Result PostgresAccountStore::failure(const QSqlError &error)
{
    m_error = error.text();
    ++m_errorCount;
    const QString state = error.nativeErrorCode();
    PGconn *const connection = handle();
    // Lost, shutting down or starting up, or a standby where a primary was: the
    // statement did nothing, and is tried again once a connection (to whichever
    // host takes writes now) answers.
    if (!connection || PQstatus(connection) != CONNECTION_OK || state.startsWith(QLatin1String("08"))
        || state.startsWith(QLatin1String("57P")) || (state == QLatin1String("25006") && !m_readOnly)) {
        closeConnection();
        return Result::Unavailable;
    }
    if (state == QLatin1String("57014")) // cancelled by statement_timeout: nothing was changed
        return Result::Unavailable;
    if (state == QLatin1String("25006") || state == QLatin1String("53100"))
        return Result::ReadOnly; // read-only transaction, disk full
    if (state == QLatin1String("2200H"))
        return Result::Exhausted; // the sequence reached its maximum
    return Result::Failed;
}

AccountStore::Result PostgresAccountStore::insert(const NewAccount &account, qint64 *login)
{
    // Committed, and on the disk (and on a synchronous standby), before the login is answered.
    QSqlDatabase db = database();
    QSqlQuery query(db);
    // Undone before failure() looks at the connection, which an aborted transaction would fail.
    const auto failed = [&](const QSqlError &error) {
        if (db.isOpen()) // a lost connection has no transaction left to undo
            db.rollback();
        return failure(error);
    };
    if (!db.transaction() || !query.exec(QStringLiteral("SET LOCAL synchronous_commit TO on")))
        return failed(query.lastError().isValid() ? query.lastError() : db.lastError());
    if (!prepareInsert(query, account, QLatin1String(" RETURNING login")) || !query.exec() || !query.next())
        return failed(query.lastError());
    *login = query.value(0).toLongLong();
    query.finish();
    if (db.commit())
        return Result::Ok;
    // Lost during the commit, the account may be there or not: never tried again,
    // so that a registration cannot make two.
    const Result result = failure(db.lastError());
    return result == Result::Unavailable ? Result::Failed : result;
}

} // namespace

bool isPostgresLocation(const QString &location)
{
    return location.startsWith(QLatin1String("postgresql://")) || location.startsWith(QLatin1String("postgres://"));
}

std::unique_ptr<AccountStore> openPostgresAccountStore(const QString &uri, bool readOnly, bool create,
                                                       int statementTimeoutMs, QString *error)
{
    return SqlAccountStore::make<PostgresAccountStore>(uri, error, readOnly, create, statementTimeoutMs);
}
