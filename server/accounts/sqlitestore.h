#pragma once

#include "server/accounts/accountstore.h"

// The accounts in one SQLite file (WAL journal, full sync), created with its
// directory on first use unless readOnly.
std::unique_ptr<AccountStore> openSqliteAccountStore(const QString &path, bool readOnly, QString *error);
