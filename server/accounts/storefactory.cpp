#include "server/accounts/storefactory.h"

#include "server/accounts/postgresstore.h"
#include "server/accounts/sqlitestore.h"

std::unique_ptr<AccountStore> openAccountStore(const QString &location, bool readOnly, QString *error)
{
    if (isPostgresLocation(location))
        return openPostgresAccountStore(location, readOnly, error);
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
    return openSqliteAccountStore(path, readOnly, error);
}

bool backupAccounts(const QString &location, const QString &target, QString *message)
{
    qint64 count = 0;
    const std::unique_ptr<AccountStore> store = openAccountStore(location, true, message);
    if (store && store->backup(target, &count) == AccountStore::Result::Ok) {
        *message = QStringLiteral("%1 accounts copied to %2").arg(count).arg(target);
        return true;
    }
    if (store)
        *message = store->errorString();
    return false;
}
