#include "server/accountstore.h"

#include "net/liveprotocol.h"
#include "server/postgresaccountstore.h"
#include "server/sqliteaccountstore.h"

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
