#include "server/accounts/storefactory.h"

#include "server/accounts/postgresstore.h"
#include "server/accounts/sqlitestore.h"

std::unique_ptr<AccountStore> openAccountStore(const QString &location, bool readOnly, bool create, QString *error,
                                               int statementTimeoutMs)
{
    if (isPostgresLocation(location))
        return openPostgresAccountStore(location, readOnly, create, statementTimeoutMs, error);
    // Only these prefixes are recognised, so no file path is ever taken for
    // another kind of store.
    static const QLatin1String sqlitePrefix("sqlite:");
    QString path = location;
    if (path.startsWith(sqlitePrefix))
        path.remove(0, sqlitePrefix.size());
    if (path.isEmpty()) {
        *error = QStringLiteral("no database file given");
        return nullptr;
    }
    return openSqliteAccountStore(path, readOnly, create, error);
}

bool prepareAccounts(const QString &location, bool create, QString *message)
{
    if (!openAccountStore(location, false, create, message))
        return false;
    *message = QStringLiteral("the accounts database is ready");
    return true;
}

bool backupAccounts(const QString &location, const QString &target, QString *message)
{
    qint64 count = 0;
    const std::unique_ptr<AccountStore> store = openAccountStore(location, true, false, message);
    if (store && store->backup(target, &count) == AccountStore::Result::Ok) {
        *message = QStringLiteral("%1 accounts copied to %2").arg(count).arg(target);
        return true;
    }
    if (store)
        *message = store->errorString();
    return false;
}
