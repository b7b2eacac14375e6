#pragma once

#include <QString>

// The only form in which a password is sent or stored: MD5 of its Latin-1 bytes
// ('?' for anything Latin-1 cannot hold), as 32 lower-case hex characters.
QString passwordDigest(const QString &password);
