#pragma once

#include <QString>

// The only form in which a password is sent or stored: MD5 of its Latin-1 bytes
// ('?' for anything Latin-1 cannot hold), as 32 lower-case hex characters.
QString passwordDigest(const QString &password);

// The registration answer read as the new login number: the decimal int alone,
// nothing before or after it. Anything else reads as 0.
int registrationNumber(const QByteArray &body);

// The sign-in answer read as acceptance: exactly the accepted body, nothing else.
bool loginAccepted(const QByteArray &body);
