#pragma once

#include <QString>

// One line for a change the account tools made, where the servers' lines go:
// standard error, and the journal under their name (journalctl -t
// velka-live-server), naming who made it: "velka-live-server accounts:
// root (sudo: alice) disabled login 42".
void logAccountChange(const QString &what);
