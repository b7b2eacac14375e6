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
    explicit SqliteAccountStore(bool readOnly)
        : SqlAccountStore("velka-accounts", readOnly)
    {}

    bool open(const QString &path);

    Result addAccount(const NewAccount &account, qint64 *login) override;

private:
    Result failure(const QSqlError &error) override;
    bool createSchema(QSqlQuery &query);

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
    QString columns;
    for (const QString &name : accountDetailNames())
        columns += name + QLatin1String(" TEXT NOT NULL, ");
    // AUTOINCREMENT: a login once handed out is never handed out again, even
    // after the newest account was removed by hand.
    const QString create = QLatin1String("CREATE TABLE IF NOT EXISTS accounts ("
                                         "login INTEGER PRIMARY KEY AUTOINCREMENT, ")
        + columns
        + QLatin1String("news INTEGER NOT NULL, pwhash TEXT NOT NULL, created TEXT NOT NULL)");
    const bool ok = db.transaction() && query.exec(create)
        && query.exec(QStringLiteral("PRAGMA user_version = %1").arg(SchemaVersion)) && db.commit();
    if (!ok) {
        m_error = QStringLiteral("cannot create the accounts table: %1")
                      .arg(query.lastError().isValid() ? query.lastError().text() : db.lastError().text());
        db.rollback();
    }
    return ok;
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

AccountStore::Result SqliteAccountStore::addAccount(const NewAccount &account, qint64 *login)
{
    if (m_readOnly) {
        m_error = QStringLiteral("the store is read-only");
        return Result::ReadOnly;
    }
    const QStringList names = accountDetailNames();
    Q_ASSERT(account.details.size() == names.size());

    QSqlDatabase db = database();
    if (!db.transaction())
        return failure(db.lastError());

    QSqlQuery query(db);
    QString marks;
    for (qsizetype i = 0; i < names.size() + 3; ++i)
        marks += i == 0 ? QLatin1String("?") : QLatin1String(", ?");
    query.prepare(QLatin1String("INSERT INTO accounts (") + names.join(QLatin1String(", "))
                  + QLatin1String(", news, pwhash, created) VALUES (") + marks + u')');
    for (const QString &value : account.details)
        query.addBindValue(value);
    query.addBindValue(account.news ? 1 : 0);
    query.addBindValue(QString::fromLatin1(account.passwordHash));
    query.addBindValue(account.created.toUTC().toString(Qt::ISODateWithMs));
    if (!query.exec()) {
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
    auto store = std::make_unique<SqliteAccountStore>(readOnly);
    if (!store->open(path)) {
        *error = store->errorString();
        return nullptr;
    }
    return store;
}
