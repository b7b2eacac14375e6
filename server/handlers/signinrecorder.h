#pragma once

#include "server/accounts/accountstore.h"

#include <QHash>
#include <QTimer>

#include <functional>

// Accepted sign-ins, handed to the store together shortly after their answers have
// gone, so that no answer waits on the disk. The times are for the operator, and a
// hash that was not renewed still verifies: a failed write costs nothing but a warning.
class SignInRecorder
{
public:
    using Writer = std::function<void(const QList<SignInRecord> &records)>;

    explicit SignInRecorder(Writer write, int delayMs = 100);
    ~SignInRecorder() { flush(); }

    // renewedHash, when not empty, replaces checkedHash, the one the sign-in was checked against.
    void add(qint64 login, const QByteArray &checkedHash, const QByteArray &renewedHash);
    void flush();

private:
    Writer m_write;
    QHash<qint64, SignInRecord> m_pending;
    QTimer m_timer;
};
