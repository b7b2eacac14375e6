#include "server/accounts/postgresstore.h"
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

// A silent database must not hold a connection for long; each bound is
// the URI's when it gives one. The server cuts a statement that outlives
// statement_timeout by more than that itself (StoreLane::cutIfStuck).
const std::pair<const char *, const char *> Defaults[] = {
    {"connect_timeout", "2"},     // s, for each host of the list
    {"keepalives", "1"},
    {"keepalives_idle", "5"},     // s without traffic before the first probe
    {"keepalives_interval", "2"}, // s between probes
    {"keepalives_count", "2"},    // probes unanswered before the connection is dropped
    {"tcp_user_timeout", "5000"}, // ms that sent data may stay unacknowledged
    {"application_name", "velka-live-server"},
};

QString quoted(QString value)
{
    return u'\'' + value.replace(u'\\', QLatin1String("\\\\")).replace(u'\'', QLatin1String("\\'")) + u'\'';
}

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
    // libpq reads the URI, several hosts included, exactly as it will connect.
    char *problem = nullptr;
    PQconninfoOption *const parsed = PQconninfoParse(uri.toUtf8().constData(), &problem);
    if (!parsed) {
        m_error = QStringLiteral("not a postgresql:// URI: %1").arg(QString::fromUtf8(problem).trimmed());
        PQfreemem(problem);
        return false;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName());
    if (!db.isValid()) {
        PQconninfoFree(parsed);
        m_error = QStringLiteral("the Qt PostgreSQL driver is not available (Debian: libqt6sql6-psql)");
        return false;
    }
    QStringList options;
    QString user, hosts, ports;
    for (const PQconninfoOption *option = parsed; option->keyword; ++option) {
        if (!option->val)
            continue;
        const QString key = QString::fromLatin1(option->keyword), value = QString::fromUtf8(option->val);
        if (key == QLatin1String("dbname"))
            db.setDatabaseName(value);
        else if (key == QLatin1String("user"))
            db.setUserName(user = value);
        else if (key == QLatin1String("password"))
            db.setPassword(value);
        else if (value.contains(u';')) // Qt turns every one into a space
            m_error = QStringLiteral("option %1: no semicolons").arg(key);
        else
            options << key + u'=' + quoted(value);
        hosts = key == QLatin1String("host") ? value : hosts;
        ports = key == QLatin1String("port") ? value : ports;
    }
    PQconninfoFree(parsed);
    if (!m_error.isEmpty())
        return false;
    const auto given = [&](QLatin1String key) {
        return std::any_of(options.cbegin(), options.cend(), [&](const QString &option) { return option.startsWith(key + u'='); });
    };
    for (const auto &[key, value] : Defaults) {
        if (!given(QLatin1String(key)))
            options << QLatin1String(key) + u'=' + QLatin1String(value);
    }
    // A server that writes talks to the primary alone, whichever host of the list it is now.
    if (!m_readOnly && !given(QLatin1String("target_session_attrs")))
        options << QStringLiteral("target_session_attrs=read-write");
    db.setConnectOptions(options.join(u';'));
    // host:port, host:port... as the URI had them; one port, or none, for every host.
    const QStringList hostList = hosts.split(u','), portList = ports.split(u',');
    QStringList places;
    for (qsizetype i = 0; i < hostList.size(); ++i) {
        const QString port = portList.value(portList.size() == 1 ? 0 : i);
        places << (port.isEmpty() ? hostList[i] : hostList[i] + u':' + port);
    }
    m_target = QStringLiteral("postgresql://%1%2%3/%4").arg(user, user.isEmpty() ? QString() : QStringLiteral("@"),
                                                             places.join(u','), db.databaseName());
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
