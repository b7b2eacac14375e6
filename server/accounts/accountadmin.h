#pragma once

#include "server/accounts/accountstore.h"

class QSqlQuery;
class SqlAccountStore;

// An account as an operator sees it: everything but its password hash.
struct AccountRecord
{
    qint64 login = 0;
    QStringList details; // in the order of accountDetailNames()
    bool news = false;
    QDateTime created;
    QDateTime lastSignIn; // null: none since the server began keeping it
    bool disabled = false;
};

// One row of the shared count of failed sign-ins.
struct FailureRow
{
    QString source; // a client key, or "*" for every address together
    qint64 strikes = 0;
    QDateTime lastSeen;
};

// Which accounts find() lists: all that match every criterion given.
struct AccountFilter
{
    qint64 login = 0;
    QString email; // any part of it, in any case
    QString name; // any part of the last or the first name, in any case
    qint64 page = 1; // from 1, of pageSize accounts by login
    qint64 pageSize = 20;
};

// The operators' statements on an SQL store, run while servers serve the same
// database: each a single statement or one short transaction, and on the disk
// before it returns. Errors as the store tells them (errorString()).
class AccountAdmin
{
public:
    explicit AccountAdmin(SqlAccountStore &store);

    AccountStore::Result find(const AccountFilter &filter, QList<AccountRecord> *page);
    AccountStore::Result account(qint64 login, AccountRecord *record);
    AccountStore::Result failures(qint64 login, QList<FailureRow> *counts);
    // A disabled account signs in as an unknown login would, and keeps its login.
    AccountStore::Result setDisabled(qint64 login, bool disabled);
    AccountStore::Result setPasswordHash(qint64 login, const QByteArray &hash);
    // The failed sign-ins at login, or (login 0) those of one client key; *cleared: the rows.
    AccountStore::Result clearFailures(qint64 login, const QString &source, qint64 *cleared);
    // The account and its counts; the login stays used up.
    AccountStore::Result remove(qint64 login);
    QString errorString() const;

private:
    // One statement, its values bound; false with the query's error when it fails.
    static bool exec(QSqlQuery &query, const QString &statement, const QVariantList &values);
    // A statement that changes rows: NotFound when login is given and none changed.
    AccountStore::Result change(const QString &statement, const QVariantList &values, qint64 login,
                                qint64 *rows = nullptr);
    AccountStore::Result notFound(qint64 login);

    SqlAccountStore &m_store;
};
