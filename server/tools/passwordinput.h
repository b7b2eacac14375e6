#pragma once

#include <QString>

// A new password for the account tools, never from the command line, where
// every user of the machine could read it: one line of standard input, or, at
// a terminal, typed twice without echo. False with a message when there is
// none, or the two differ.
bool readNewPassword(QString *password, QString *error);
