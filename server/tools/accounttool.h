#pragma once

#include <QStringList>

// velka-live-server accounts <command> ...: the operators' account commands,
// on the database the servers use, while they serve it. arguments: those after
// "accounts". Returns the exit status: 0 done, 1 no such account or a database
// error, 2 a bad command line.
int runAccountTool(const QStringList &arguments);
