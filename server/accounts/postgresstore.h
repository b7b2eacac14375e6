#pragma once

#include "server/accounts/accountstore.h"

// The accounts in a PostgreSQL database named by a URI, read by libpq itself:
// postgresql://[user[:password]@][host][:port][,host[:port]...]/dbname[?option=value&...]
// (options go to libpq as they are, e.g. sslmode, connect_timeout). Several
// hosts: a primary and its standbys, the one taking writes found at each
// connection (target_session_attrs=read-write unless readOnly). Several servers
// may share one database: logins come from one sequence. The tables are made in
// a database without them only when create is set.
std::unique_ptr<AccountStore> openPostgresAccountStore(const QString &uri, bool readOnly, bool create,
                                                       int statementTimeoutMs, QString *error);

// True when location names a PostgreSQL database rather than an SQLite file.
bool isPostgresLocation(const QString &location);
