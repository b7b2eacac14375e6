#pragma once

#include <QByteArray>

// How the client reads the live server's answers.

// The sign-in answer read as acceptance: exactly the accepted body, nothing else.
bool loginAccepted(const QByteArray &body);

// The registration answer read as the new login number: the decimal int alone,
// nothing before or after it. Anything else reads as 0.
int registrationNumber(const QByteArray &body);
