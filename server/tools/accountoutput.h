#pragma once

#include "server/accounts/accountadmin.h"

// What the account tools print, never a hash: times in UTC, ISO 8601.

// Their help, up to the options.
extern const char AccountToolCommands[];

// find: one line a login, tab-separated: login, name, e-mail, created, active or disabled.
QString accountLine(const AccountRecord &account);
// show: a line a field, name then value, the failed sign-ins last.
QString accountText(const AccountRecord &account, const QList<FailureRow> &counts);
// export: the account's data as its owner may ask for it, every detail by its name.
QByteArray accountJson(const AccountRecord &account);
