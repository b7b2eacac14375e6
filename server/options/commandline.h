#pragma once

#include "server/options/serveroptions.h"

#include <QString>

class QCoreApplication;

// What the command line asks for: the options of a server to run, and the
// file to back the database up into instead, if any, or whether to only make
// the database ready and exit.
struct CommandLine
{
    LiveServerOptions options;
    QString backupTarget;
    bool exitAfterCreate = false;
};

// Reads the application's arguments. --help and --version are answered here,
// and a bad command line ends the process with status 2 and a message.
CommandLine parseCommandLine(const QCoreApplication &app);
