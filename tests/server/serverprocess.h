#pragma once

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QProcess>
#include <QStringList>
#include <QUrl>

#include "net/liveserver.h"

// The shipped server executable in a child process, on a free port.
class ServerProcess
{
public:
    ~ServerProcess() { kill(); }

    // Starts it with args (--port 0 is added) and waits for the URL it prints.
    bool start(const QString &program, const QStringList &args)
    {
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.start(program, QStringList(args) << QStringLiteral("--port") << QStringLiteral("0"));
        const QDeadlineTimer deadline(30000);
        while (!m_process.canReadLine() && !deadline.hasExpired()
               && m_process.state() != QProcess::NotRunning) {
            m_process.waitForReadyRead(100);
        }
        m_base = QUrl(QString::fromUtf8(m_process.readLine().trimmed()));
        return m_base.isValid() && m_base.port() > 0;
    }
    void kill()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill(); // SIGKILL: no chance to close anything
            m_process.waitForFinished();
        }
    }
    quint16 port() const { return quint16(m_base.port()); }
    QString path() const { return m_base.path(); } // the scripts' directory, with slashes
    QProcess &process() { return m_process; }

private:
    QProcess m_process;
    QUrl m_base;
};

// A distinct password digest for every n.
inline QString digestOf(int n)
{
    return QString::fromLatin1(QCryptographicHash::hash(QByteArray::number(n), QCryptographicHash::Md5).toHex());
}

inline QString registrationPath(const QString &directory, const QString &digest, int n = 0)
{
    QString path = directory + QLatin1String(LiveScript::Register) + u'?';
    for (const char *name : RegisterParam::Order) {
        const QString key = QLatin1String(name);
        const QString value = key == QLatin1String("pas") ? digest
            : key == QLatin1String("new")                 ? QStringLiteral("1")
                                                          : QStringLiteral("Load%1").arg(n);
        path += key + u'=' + value + u'&';
    }
    path.chop(1);
    return path;
}

inline QString signInPath(const QString &directory, qint64 login, const QString &digest)
{
    return directory + QLatin1String(LiveScript::Login) + QLatin1String("?l=") + QString::number(login)
        + QLatin1String("&p=") + digest;
}
