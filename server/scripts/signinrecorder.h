#pragma once

#include "server/accounts/accountstore.h"

#include <QHash>
#include <QTimer>

// Accepted sign-ins, written to the store together shortly after their answers have
// gone, so that no answer waits on the disk. The times are for the operator, and a
// hash that was not renewed still verifies: a failed write costs nothing but a warning.
class SignInRecorder
{
public:
    explicit SignInRecorder(int delayMs = 100);
    ~SignInRecorder() { flush(); }

    // The store written to; null writes nothing.
    void setStore(AccountStore *store) { m_store = store; }
    void add(qint64 login, const QByteArray &renewedHash);
    void flush();

private:
    AccountStore *m_store = nullptr;
    QHash<qint64, SignInRecord> m_pending;
    QTimer m_timer;
};
