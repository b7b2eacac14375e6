#include "server/accounts/postgresstore.h"
#include "server/accounts/sqlaccountstore.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QUrlQuery>
#include <QVariant>

namespace {

// Any constant will do, as long as every server uses the same one: it
// serialises the creation of the tables between servers starting together.
constexpr qint64 SchemaLock = 0x56454c4b41; // "VELKA"

class PostgresAccountStore final : public SqlAccountStore
{
public:
    using SqlAccountStore::SqlAccountStore;

private:
    bool connect();
    Dialect dialect() const override;
    int storedVersion(QSqlQuery &query) override;
    Result backup(const QString &target, qint64 *count) override;
    bool open(const QString &uri) override;
    Result insert(const NewAccount &account, qint64 *login) override;
    Result failure(const QSqlError &error) override;

    QString m_target; // the URI without its password, for messages
};

bool PostgresAccountStore::open(const QString &uri)
{
    const QUrl url(uri, QUrl::StrictMode);
    if (!url.isValid() || !isPostgresLocation(uri)) {
        m_error = QStringLiteral("not a postgresql:// URI");
        return false;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName());
    if (!db.isValid()) {
        m_error = QStringLiteral("the Qt PostgreSQL driver is not available (Debian: libqt6sql6-psql)");
        return false;
    }
    db.setHostName(url.host());
    if (url.port() > 0)
        db.setPort(url.port());
    db.setUserName(url.userName(QUrl::FullyDecoded));
    db.setPassword(url.password(QUrl::FullyDecoded));
    db.setDatabaseName(url.path(QUrl::FullyDecoded).mid(1));
    QStringList options;
    for (const auto &[key, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) {
        if (key.contains(u';') || value.contains(u';') || value.contains(u' ')) {
            m_error = QStringLiteral("option %1: no spaces or semicolons").arg(key);
            return false;
        }
        options << key + u'=' + value;
    }
    // A database out of reach must not hold the server for long: each try to
    // reach it again gives up after 2 s unless the URI says otherwise.
    if (!QUrlQuery(url).hasQueryItem(QStringLiteral("connect_timeout")))
        options << QStringLiteral("connect_timeout=2");
    db.setConnectOptions(options.join(u';'));
    m_target = url.toString(QUrl::RemovePassword);
    return connect() && prepareSchema(m_target);
}

bool PostgresAccountStore::connect()
{
    QSqlDatabase db = database();
    if (!db.open()) {
        m_error = QStringLiteral("cannot connect to %1: %2").arg(m_target, db.lastError().text());
        return false;
    }
    QSqlQuery query(db);
    // A read-only server must not write even by mistake; the database enforces it.
    // Otherwise the counts and times written at sign-ins need not wait for the
    // disk; a registration does (insert()).
    if (!query.exec(m_readOnly ? QStringLiteral("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY")
                               : QStringLiteral("SET synchronous_commit TO off"))) {
        m_error = query.lastError().text();
        return false;
    }
    return true;
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
             QStringLiteral("INSERT INTO velka_schema (version) VALUES (%1)")}};
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
    Result result = Result::Failed;
    if (state == QLatin1String("25006") || state == QLatin1String("53100"))
        result = Result::ReadOnly; // read-only transaction, disk full
    else if (state == QLatin1String("2200H"))
        result = Result::Exhausted; // the sequence reached its maximum

    // A lost connection is opened again; the statement did nothing, and may be
    // tried again once that succeeds. "Shutting down", "starting up" and the
    // connection errors (class 08) say so themselves.
    QSqlQuery probe(database());
    if (state.startsWith(QLatin1String("08")) || state.startsWith(QLatin1String("57P"))
        || !probe.exec(QStringLiteral("SELECT 1"))) {
        probe.finish();
        QSqlDatabase db = database();
        db.close();
        m_reconnectCount += connect();
        result = Result::Unavailable;
    }
    return result;
}

AccountStore::Result PostgresAccountStore::insert(const NewAccount &account, qint64 *login)
{
    // Committed, and on the disk, before the login is answered.
    QSqlDatabase db = database();
    QSqlQuery query(db);
    // Undone before failure() looks at the connection, which an aborted transaction would fail.
    const auto failed = [&](const QSqlError &error) {
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

std::unique_ptr<AccountStore> openPostgresAccountStore(const QString &uri, bool readOnly, bool create, QString *error)
{
    return SqlAccountStore::make<PostgresAccountStore>(uri, readOnly, create, error);
}
