#include "server/handlers/signinrecorder.h"

SignInRecorder::SignInRecorder(Writer write, int delayMs)
    : m_write(std::move(write))
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(delayMs);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { flush(); });
}

void SignInRecorder::add(qint64 login, const QByteArray &checkedHash, const QByteArray &renewedHash)
{
    SignInRecord &record = m_pending[login];
    record.login = login;
    record.at = QDateTime::currentDateTimeUtc();
    if (!renewedHash.isEmpty()) { // a later sign-in does not undo an earlier renewal
        record.renewedHash = renewedHash;
        record.checkedHash = checkedHash;
    }
    if (!m_timer.isActive())
        m_timer.start();
}

void SignInRecorder::flush()
{
    if (!m_pending.isEmpty())
        m_write(std::exchange(m_pending, {}).values());
}
