#pragma once

#include "server/accounts/accountstore.h"

#include <memory>

// Opens the store named by location: "sqlite:<path>" or a bare path, both an
// SQLite file, or "postgresql://..." (see postgresstore.h). A read-only store
// serves sign-ins only. Only with create is a missing file or an empty
// database made a store of accounts: a lost one is never silently replaced.
// Returns null and sets error when the store cannot be used. statementTimeoutMs:
// how long a PostgreSQL statement may run.
std::unique_ptr<AccountStore> openAccountStore(const QString &location, bool readOnly, bool create, QString *error,
                                               int statementTimeoutMs = 5000);

// Opens (and with create makes) the database at location, its schema brought
// up to date, then closes it; says what it did, or why it could not, in message.
bool prepareAccounts(const QString &location, bool create, QString *message);

// Copies the accounts of the database at location into a new file at target,
// opened read-only: a backup never creates, upgrades or writes what it copies.
// Says what it did, or why it could not, in message.
bool backupAccounts(const QString &location, const QString &target, QString *message);
