#pragma once

#include "server/accounts/accountstore.h"

// The accounts in one SQLite file (WAL journal, full sync), made with its
// directory only when create is set. Registrations are refused (Gone) once
// the path names another file than the one opened, or none.
std::unique_ptr<AccountStore> openSqliteAccountStore(const QString &path, bool readOnly, bool create, QString *error);
