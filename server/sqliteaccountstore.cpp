#include "server/sqliteaccountstore.h"
#include "server/sqlaccountstore.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

// Bumped whenever the table changes shape; a file from a newer server is left alone.
constexpr int SchemaVersion = 1;

class SqliteAccountStore final : public SqlAccountStore
{
public:
    using SqlAccountStore::SqlAccountStore;

private:
    bool createSchema(QSqlQuery &query);
    bool open(const QString &path) override;
    Result insert(const NewAccount &account, qint64 *login) override;
    Result failure(const QSqlError &error) override;
};

bool SqliteAccountStore::open(const QString &path)
{
    if (!m_readOnly) {
        const QString dir = QFileInfo(path).absolutePath();
        if (!QDir().mkpath(dir)) {
            m_error = QStringLiteral("cannot create directory %1").arg(dir);
            return false;
        }
    }

    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName());
    if (!db.isValid()) {
        m_error = QStringLiteral("the Qt SQLite driver is not available");
        return false;
    }
    db.setDatabaseName(path);
    // A backup tool holding the file briefly must not turn into failed sign-ins.
    db.setConnectOptions(m_readOnly ? QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000;QSQLITE_OPEN_READONLY")
                                    : QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    if (!db.open()) {
        m_error = QStringLiteral("cannot open %1: %2").arg(path, db.lastError().text());
        return false;
    }

    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next()) {
        m_error = QStringLiteral("%1 is not an SQLite database: %2").arg(path, query.lastError().text());
        return false;
    }
    const int version = query.value(0).toInt();
    query.finish();
    if (version > SchemaVersion) {
        m_error = QStringLiteral("%1 was written by a newer server (schema %2)").arg(path).arg(version);
        return false;
    }
    if (m_readOnly) {
        if (version != SchemaVersion) {
            m_error = QStringLiteral("%1 holds no accounts table").arg(path);
            return false;
        }
        return true;
    }

    // WAL lets sign-ins read while a registration commits; FULL makes each
    // commit reach the disk before the new login is answered.
    if (!query.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !query.next()
        || query.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
        m_error = QStringLiteral("cannot switch %1 to WAL: %2").arg(path, query.lastError().text());
        return false;
    }
    query.finish();
    if (!query.exec(QStringLiteral("PRAGMA synchronous=FULL"))) {
        m_error = query.lastError().text();
        return false;
    }
    return version == SchemaVersion || createSchema(query);
}

bool SqliteAccountStore::createSchema(QSqlQuery &query)
{
    QSqlDatabase db = database();
    // AUTOINCREMENT: a login once handed out is never handed out again, even
    // after the newest account was removed by hand.
    const QString create = accountsTable(QLatin1String("INTEGER PRIMARY KEY AUTOINCREMENT"),
                                         QLatin1String("INTEGER"), QLatin1String("TEXT"));
    if (!db.transaction() || !query.exec(create)
        || !query.exec(QStringLiteral("PRAGMA user_version = %1").arg(SchemaVersion)) || !db.commit())
        return schemaFailed(query);
    return true;
}

AccountStore::Result SqliteAccountStore::failure(const QSqlError &error)
{
    m_error = error.text();
    // Primary result codes; the driver may hand out extended ones.
    const int code = error.nativeErrorCode().toInt() & 0xff;
    constexpr int SqliteReadOnly = 8;
    constexpr int SqliteFull = 13;
    return code == SqliteReadOnly || code == SqliteFull ? Result::ReadOnly : Result::Failed;
}

AccountStore::Result SqliteAccountStore::insert(const NewAccount &account, qint64 *login)
{
    QSqlDatabase db = database();
    if (!db.transaction())
        return failure(db.lastError());
    QSqlQuery query(db);
    if (!prepareInsert(query, account, account.created.toUTC().toString(Qt::ISODateWithMs)) || !query.exec()) {
        const Result result = failure(query.lastError());
        db.rollback();
        return result;
    }
    const qint64 id = query.lastInsertId().toLongLong();
    query.finish();
    if (id <= 0 || id > MaxLogin) {
        db.rollback();
        m_error = QStringLiteral("no login number left");
        return Result::Exhausted;
    }
    // Committed by a statement of ours: the driver's commit() drops SQLite's
    // error code, which tells a full disk from other failures.
    if (!query.exec(QStringLiteral("COMMIT"))) {
        const Result result = failure(query.lastError());
        db.rollback();
        return result;
    }
    *login = id;
    return Result::Ok;
}

} // namespace

std::unique_ptr<AccountStore> openSqliteAccountStore(const QString &path, bool readOnly, QString *error)
{
    return SqlAccountStore::make<SqliteAccountStore>(path, readOnly, error);
}
