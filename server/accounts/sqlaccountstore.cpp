#include "server/accounts/sqlaccountstore.h"

#include "net/liveprotocol.h"

#include <QAtomicInt>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QVariant>

QStringList accountDetailNames()
{
    // Everything the client sends before the digest and the newsletter flag.
    QStringList names;
    for (const char *name : RegisterParam::Order) {
        if (qstrcmp(name, "pas") == 0)
            break;
        names.append(QLatin1String(name));
    }
    return names;
}

SqlAccountStore::SqlAccountStore(bool readOnly, bool create)
    : m_readOnly(readOnly)
    , m_create(create && !readOnly)
{
    // Several stores may be open in one process (tests, restarts): names must differ.
    static QAtomicInt serial;
    m_connection = QStringLiteral("velka-accounts-%1").arg(serial.fetchAndAddRelaxed(1));
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

AccountStore::Result SqlAccountStore::addAccount(const NewAccount &account, qint64 *login)
{
    if (m_readOnly) {
        m_error = QStringLiteral("the store is read-only");
        return Result::ReadOnly;
    }
    Q_ASSERT(account.details.size() == accountDetailNames().size());
    return usable() ? insert(account, login) : Result::Unavailable;
}

QStringList SqlAccountStore::schemaStep(int version) const
{
    const Dialect type = dialect();
    switch (version) {
    case 1: {
        QString columns;
        for (const QString &name : accountDetailNames())
            columns += name + QLatin1String(" TEXT NOT NULL, ");
        return {QLatin1String("CREATE TABLE accounts (login ") + type.login + QLatin1String(", ") + columns
                + QLatin1String("news ") + type.news + QLatin1String(" NOT NULL, pwhash TEXT NOT NULL, created ")
                + type.time + QLatin1String(" NOT NULL)")};
    }
    case 2: // null until the account's first sign-in after the upgrade
        return {QLatin1String("ALTER TABLE accounts ADD COLUMN last_sign_in ") + type.time};
    case 3: // source: a client address, or "*" for every address together; times in ms since the epoch
        return {QStringLiteral("CREATE TABLE sign_in_failures (login BIGINT NOT NULL, source TEXT NOT NULL, "
                               "strikes INTEGER NOT NULL, next_slot BIGINT NOT NULL, last_seen BIGINT NOT NULL, "
                               "admitted BIGINT NOT NULL, PRIMARY KEY (login, source))")};
    case 4: // a disabled account keeps its row, and so its login; registrations counted per client
        return {QLatin1String("ALTER TABLE accounts ADD COLUMN disabled ") + type.news + QLatin1String(" NOT NULL DEFAULT 0"),
                QStringLiteral("CREATE TABLE registration_limits (source TEXT NOT NULL PRIMARY KEY, "
                               "tat BIGINT NOT NULL, refused BIGINT NOT NULL)")};
    }
    return {};
}

bool SqlAccountStore::prepareSchema(const QString &name)
{
    QSqlDatabase db = database();
    QSqlQuery query(db);
    int found = storedVersion(query);
    if (found < 0) {
        m_error = QStringLiteral("cannot read the schema of %1: %2").arg(name, query.lastError().text());
        return false;
    }
    if (found > SchemaVersion) {
        m_error = QStringLiteral("%1 holds schema %2, newer than this server's %3: run a newer server on it")
                      .arg(name)
                      .arg(found)
                      .arg(SchemaVersion);
        return false;
    }
    m_version = found;
    if (found == SchemaVersion || (m_readOnly && found > 0))
        return true;
    if (m_readOnly || (found == 0 && !m_create)) {
        // Accounts lost under a server must not be followed by logins handed out again from 1.
        m_error = QStringLiteral("%1 holds no accounts table%2")
                      .arg(name, m_readOnly ? QString() : QStringLiteral(": start with --create-database to make one"));
        return false;
    }
    // Another server may have moved the schema on while this one waited for the lock.
    const Dialect spelling = dialect();
    for (const QString &statement : spelling.beginSchemaChange) {
        if (!query.exec(statement))
            return schemaFailed(query);
    }
    if ((found = storedVersion(query)) < 0)
        return schemaFailed(query);
    QStringList statements;
    for (int version = found + 1; version <= SchemaVersion; ++version)
        statements << schemaStep(version);
    for (const QString &statement : spelling.recordVersion) {
        if (found < SchemaVersion)
            statements << QString(statement).replace(QLatin1String("%1"), QString::number(SchemaVersion));
    }
    for (const QString &statement : std::as_const(statements)) {
        if (!query.exec(statement))
            return schemaFailed(query);
    }
    m_version = SchemaVersion;
    return db.commit() || schemaFailed(query);
}

QVariant SqlAccountStore::timeValue(const QDateTime &time) const
{
    return dialect().timeAsText ? QVariant(time.toUTC().toString(Qt::ISODateWithMs)) : QVariant(time.toUTC());
}

bool SqlAccountStore::prepareInsert(QSqlQuery &query, const NewAccount &account, QLatin1String tail)
{
    const QStringList names = accountDetailNames();
    QString marks;
    for (qsizetype i = 0; i < names.size() + 3; ++i)
        marks += i == 0 ? QLatin1String("?") : QLatin1String(", ?");
    if (!query.prepare(QLatin1String("INSERT INTO accounts (") + names.join(QLatin1String(", "))
                       + QLatin1String(", news, pwhash, created) VALUES (") + marks + u')' + tail))
        return false;
    for (const QString &value : account.details)
        query.addBindValue(value);
    query.addBindValue(account.news ? 1 : 0);
    query.addBindValue(QString::fromLatin1(account.passwordHash));
    query.addBindValue(timeValue(account.created));
    return true;
}

bool SqlAccountStore::schemaFailed(const QSqlQuery &query)
{
    QSqlDatabase db = database();
    m_error = QStringLiteral("cannot create or upgrade the accounts table: %1")
                  .arg(query.lastError().isValid() ? query.lastError().text() : db.lastError().text());
    db.rollback();
    return false;
}

QString SqlAccountStore::literal(const QVariant &value) const
{
    QSqlField field(QString(), value.metaType());
    field.setValue(value);
    return database().driver()->formatValue(field);
}

bool SqlAccountStore::run(QSqlQuery &query, const QStringList &statements)
{
    // Not joined into one: Qt's PostgreSQL driver answers the first of several, and drops what the rest say.
    for (const QString &statement : statements) {
        if (!query.exec(statement))
            return false;
    }
    return true;
}

bool SqlAccountStore::usable()
{
    if (database().isOpen())
        return true;
    m_error = QStringLiteral("not connected to the database");
    return false;
}

bool SqlAccountStore::ping()
{
    if (!database().isOpen() && !reconnect())
        return false;
    QSqlQuery query(database());
    if (!query.exec(dialect().ping) || !query.next()) {
        failure(query.lastError());
        return false;
    }
    if (m_readOnly || !query.value(0).toBool())
        return true;
    // A standby: the next connection looks for the server that takes writes.
    m_error = QStringLiteral("the database takes no writes (a standby?)");
    query.finish();
    closeConnection();
    return false;
}

void SqlAccountStore::closeConnection()
{
    QSqlDatabase db = database();
    db.close();
}

bool SqlAccountStore::reconnect()
{
    QSqlDatabase db = database();
    if (!db.open()) {
        m_error = db.lastError().text();
        return false;
    }
    ++m_reconnectCount;
    return true;
}

