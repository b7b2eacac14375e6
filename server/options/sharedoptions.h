#pragma once

#include "server/passwords/passwordhash.h"

#include <QCommandLineOption>
#include <QList>

class QCommandLineParser;

// What the server's command line and the account tools read alike, so that
// both name the same database and hash at the same cost. Each caller says
// what is wrong in its own voice: these only describe it in *error.

// Where the accounts are when --database is not given: the user's data folder.
QString defaultDatabase();
QCommandLineOption databaseOption();
// --hash-cost, --hash-ops and --hash-mem.
QList<QCommandLineOption> hashCostOptions();
HashCost hashCostOption(const QCommandLineParser &parser, QString *error);
// The value of option name as a number up to max.
quint64 numberOption(const QCommandLineParser &parser, const QString &name, quint64 max, QString *error);
