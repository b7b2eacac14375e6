#pragma once

#include <QString>
#include <QStringList>

// A postgresql:// URI as libpq reads it, several hosts included, told apart
// into what Qt's driver takes: the database, user and password, and every
// other keyword as a connect option, with our bounds added where the URI
// gives none (see postgresuri.cpp).
struct PostgresConnection
{
    QString database, user, password;
    QStringList options; // key='value', for QSqlDatabase::setConnectOptions joined with ';'
    QString target;      // the URI without its password, host:port by host, for messages
};

// false with error when libpq cannot read uri, or Qt's driver could not pass an option on.
// writes: a server that writes, whose connections go to the host taking writes.
bool readPostgresUri(const QString &uri, bool writes, PostgresConnection *connection, QString *error);
