#include "server/accounts/sqlitestore.h"
#include "server/accounts/sqlaccountstore.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <sys/stat.h>

#include <utility>

namespace {

class SqliteAccountStore final : public SqlAccountStore
{
public:
    using SqlAccountStore::SqlAccountStore;

    Result backup(const QString &target, qint64 *count) override;

private:
    bool open(const QString &path) override;
    // Whether path still names the file opened: SQLite goes on writing to a
    // deleted one, whose accounts nobody would find again.
    bool stillThere();
    Dialect dialect() const override;
    int storedVersion(QSqlQuery &query) override;
    Result insert(const NewAccount &account, qint64 *login) override;
    Result insertAccount(const NewAccount &account, qint64 *login);
    Result failure(const QSqlError &error) override;

    QString m_path;
    struct stat m_opened = {};
    bool m_warned = false;
};

bool SqliteAccountStore::open(const QString &path)
{
    if (!m_create && !QFileInfo::exists(path)) {
        m_error = m_readOnly ? QStringLiteral("no database at %1").arg(path)
                             : QStringLiteral("no database at %1: start with --create-database to make one").arg(path);
        return false;
    }
    if (m_create) {
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
    // A backup holding the file briefly must not turn into failed sign-ins.
    db.setConnectOptions(m_readOnly ? QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000;QSQLITE_OPEN_READONLY")
                                    : QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    if (!db.open()) {
        m_error = QStringLiteral("cannot open %1: %2").arg(path, db.lastError().text());
        return false;
    }
    // The schema first: a file of a newer server is left as it was found.
    if (!prepareSchema(path))
        return false;
    m_path = path;
    if (stat(QFile::encodeName(path).constData(), &m_opened) != 0) {
        m_error = QStringLiteral("cannot find %1 again once opened").arg(path);
        return false;
    }
    if (m_readOnly)
        return true;

    // WAL lets sign-ins read while a registration commits. NORMAL for the
    // counts and times written at sign-ins, which may lose their last moments
    // to a power cut; a registration commits with FULL (insert()), on the disk,
    // with everything before it, before its login is answered.
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !query.next()
        || query.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
        m_error = QStringLiteral("cannot switch %1 to WAL: %2").arg(path, query.lastError().text());
        return false;
    }
    query.finish();
    if (!query.exec(QStringLiteral("PRAGMA synchronous=NORMAL"))) {
        m_error = query.lastError().text();
        return false;
    }
    return true;
}

SqlAccountStore::Dialect SqliteAccountStore::dialect() const
{
    // AUTOINCREMENT: a login once handed out is never handed out again, even after the
    // newest account was removed by hand. BEGIN IMMEDIATE: the write lock from the start,
    // waited for like any other; a deferred transaction that has read the version cannot
    // wait for it, and would fail at once.
    return {QLatin1String("INTEGER PRIMARY KEY AUTOINCREMENT"), QLatin1String("INTEGER"), QLatin1String("TEXT"), true,
            {QStringLiteral("BEGIN IMMEDIATE")}, {QStringLiteral("PRAGMA user_version = %1")},
            QStringLiteral("BEGIN IMMEDIATE"), QStringLiteral("SELECT 0")};
}

int SqliteAccountStore::storedVersion(QSqlQuery &query)
{
    const int version = query.exec(QStringLiteral("PRAGMA user_version")) && query.next() ? query.value(0).toInt() : -1;
    query.finish();
    return version;
}

AccountStore::Result SqliteAccountStore::backup(const QString &target, qint64 *count)
{
    if (QFileInfo::exists(target)) {
        m_error = QStringLiteral("%1 exists already: a backup goes to a new file").arg(target);
        return Result::Failed;
    }
    {
        // One read transaction: the copy is the accounts as they stood when it began.
        QSqlQuery query(database());
        query.prepare(QStringLiteral("VACUUM INTO ?"));
        query.addBindValue(target);
        if (!query.exec())
            return failure(query.lastError());
    }
    // Opened as a database of its own, the copy tells what it holds.
    const QString name = connectionName() + QLatin1String("-copy");
    Result result = Result::Ok;
    {
        QSqlDatabase copy = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        copy.setDatabaseName(target);
        copy.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        QSqlQuery query(copy);
        if (copy.open() && query.exec(QStringLiteral("SELECT count(*) FROM accounts")) && query.next()) {
            *count = query.value(0).toLongLong();
        } else {
            m_error = QStringLiteral("the copy %1 cannot be read: %2").arg(target, query.lastError().text());
            result = Result::Failed;
        }
    }
    QSqlDatabase::removeDatabase(name);
    return result;
}

AccountStore::Result SqliteAccountStore::failure(const QSqlError &error)
{
    m_error = error.text();
    ++m_errorCount;
    // Primary result codes; the driver may hand out extended ones.
    const int code = error.nativeErrorCode().toInt() & 0xff;
    constexpr int SqliteBusy = 5, SqliteLocked = 6, SqliteReadOnly = 8, SqliteFull = 13, SqliteCantOpen = 14;
    if (code == SqliteBusy || code == SqliteLocked || code == SqliteCantOpen)
        return Result::Unavailable; // still locked after the busy timeout, or the file out of reach
    return code == SqliteReadOnly || code == SqliteFull ? Result::ReadOnly : Result::Failed;
}

bool SqliteAccountStore::stillThere()
{
    struct stat now = {};
    if (stat(QFile::encodeName(m_path).constData(), &now) == 0 && now.st_dev == m_opened.st_dev
        && now.st_ino == m_opened.st_ino)
        return true;
    m_error = QStringLiteral("%1 is gone or replaced since the server opened it: registrations are refused").arg(m_path);
    if (!std::exchange(m_warned, true))
        qWarning("velka-live-server: %s (put it back, or restore a backup, and restart)", qUtf8Printable(m_error));
    return false;
}

AccountStore::Result SqliteAccountStore::insert(const NewAccount &account, qint64 *login)
{
    if (!stillThere())
        return Result::Gone;
    // Durable the moment the login is answered; between transactions only.
    QSqlQuery(database()).exec(QStringLiteral("PRAGMA synchronous=FULL"));
    const Result result = insertAccount(account, login);
    QSqlQuery(database()).exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    return result;
}

AccountStore::Result SqliteAccountStore::insertAccount(const NewAccount &account, qint64 *login)
{
    QSqlDatabase db = database();
    if (!db.transaction())
        return failure(db.lastError());
    QSqlQuery query(db);
    if (!prepareInsert(query, account) || !query.exec()) {
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

std::unique_ptr<AccountStore> openSqliteAccountStore(const QString &path, bool readOnly, bool create, QString *error)
{
    return SqlAccountStore::make<SqliteAccountStore>(path, error, readOnly, create);
}
