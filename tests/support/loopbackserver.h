#pragma once

#include <QHash>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

// A scriptable HTTP/1.1 server on 127.0.0.1 for answers the reference server
// never gives: odd bodies, error statuses, slow or held transfers.
class LoopbackServer : public QObject
{
    Q_OBJECT

public:
    struct Answer
    {
        int status = 200;
        QByteArray body;
        int delayMs = 0; // between the pieces below
        bool held = false; // nothing goes out before release()...
        int partial = -1;  // ...but the head, and this many body bytes after delayMs
                           // (progress reports that come together are throttled away)
    };

    LoopbackServer()
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
            }
        });
        m_server.listen(QHostAddress::LocalHost, 0);
    }

    QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()); }
    // For requests to that script, the last part of the path; any other gets the default answer.
    void setAnswer(const QByteArray &script, const Answer &answer) { m_answers.insert(script, answer); }
    void setDefaultAnswer(const Answer &answer) { m_default = answer; }
    // The targets of the requests, in the order they came.
    QList<QByteArray> targets() const { return m_targets; }
    void release()
    {
        for (const auto &[socket, bytes] : std::exchange(m_held, {})) {
            if (socket)
                socket->write(bytes);
        }
    }

private:
    void read(QTcpSocket *socket)
    {
        // GET only: a request ends with its blank line.
        while (socket->canReadLine()) {
            const QByteArray line = socket->readLine().trimmed();
            if (!line.isEmpty()) {
                if (!socket->property("target").isValid()) // of "GET <target> HTTP/1.1"
                    socket->setProperty("target", line.split(' ').value(1));
                continue;
            }
            m_targets << socket->property("target").toByteArray();
            socket->setProperty("target", {});
            respond(socket, m_answers.value(m_targets.last().split('?').first().split('/').last(), m_default));
        }
    }

    void respond(QTcpSocket *socket, const Answer &a)
    {
        QList<QByteArray> pieces = {"HTTP/1.1 " + QByteArray::number(a.status) + " Scripted\r\nContent-Length: "
                                    + QByteArray::number(a.body.size()) + "\r\n\r\n"};
        if (a.partial >= 0)
            pieces << a.body.left(a.partial) << a.body.mid(a.partial);
        else
            pieces[0] += a.body;
        const qsizetype heldFrom = !a.held ? pieces.size() : a.partial >= 0 ? 2 : 0;
        const QPointer<QTcpSocket> guard(socket);
        for (qsizetype i = 0; i < pieces.size(); ++i) {
            if (i >= heldFrom)
                m_held.append({guard, pieces[i]});
            else
                QTimer::singleShot(int(a.delayMs * i), this, [guard, piece = pieces[i]] { if (guard) guard->write(piece); });
        }
    }

    QTcpServer m_server;
    QHash<QByteArray, Answer> m_answers;
    Answer m_default;
    QList<QByteArray> m_targets;
    QList<std::pair<QPointer<QTcpSocket>, QByteArray>> m_held;
};
