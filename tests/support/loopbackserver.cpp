#include "loopbackserver.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

LoopbackServer::LoopbackServer(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &LoopbackServer::onNewConnection);
    m_server.listen(QHostAddress::LocalHost, 0);
}

LoopbackServer::~LoopbackServer() = default;

quint16 LoopbackServer::port() const
{
    return m_server.serverPort();
}

QString LoopbackServer::url() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void LoopbackServer::setAnswer(const QByteArray &pathSuffix, const Answer &answer)
{
    m_answers.insert(pathSuffix, answer);
}

void LoopbackServer::release()
{
    const auto held = std::exchange(m_held, {});
    for (const auto &[socket, answer] : held) {
        if (answer.partial >= 0) {
            socket->write(answer.body.mid(answer.partial));
            continue;
        }
        Answer now = answer;
        now.held = false;
        respond(socket, now);
    }
}

void LoopbackServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_buffers.remove(socket);
            m_held.removeIf([socket](const auto &entry) { return entry.first == socket; });
            socket->deleteLater();
        });
    }
}

void LoopbackServer::onReadyRead(QTcpSocket *socket)
{
    QByteArray &buffer = m_buffers[socket];
    buffer += socket->readAll();
    // GET only: a request ends with its blank line.
    qsizetype end;
    while ((end = buffer.indexOf("\r\n\r\n")) >= 0) {
        const QByteArray head = buffer.left(end);
        buffer.remove(0, end + 4);
        const QByteArray line = head.left(head.indexOf("\r\n") < 0 ? head.size() : head.indexOf("\r\n"));
        const QList<QByteArray> parts = line.split(' ');
        const QByteArray target = parts.value(1);
        m_lines.append(line);
        m_targets.append(target);
        emit requestReceived(target);

        const QByteArray path = target.left(target.indexOf('?') < 0 ? target.size() : target.indexOf('?'));
        Answer answer = m_default;
        for (auto it = m_answers.cbegin(); it != m_answers.cend(); ++it) {
            if (path.endsWith(it.key()))
                answer = it.value();
        }
        if (answer.held)
            m_held.append({socket, answer});
        if (!answer.held || answer.partial >= 0)
            respond(socket, answer);
    }
}

void LoopbackServer::respond(QTcpSocket *socket, const Answer &answer)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) + " Scripted\r\n"
                      "Content-Type: text/plain\r\n";
    if (answer.chunks <= 0) {
        head += "Content-Length: " + QByteArray::number(answer.body.size()) + "\r\n\r\n";
        if (!answer.held) {
            socket->write(head + answer.body);
            return;
        }
        socket->write(head);
        QPointer<QTcpSocket> guard(socket);
        QTimer::singleShot(answer.chunkDelayMs, this, [guard, part = answer.body.left(answer.partial)] {
            if (guard)
                guard->write(part);
        });
        return;
    }
    socket->write(head + "Transfer-Encoding: chunked\r\n\r\n");
    const qsizetype step = std::max<qsizetype>(1, answer.body.size() / answer.chunks + 1);
    QList<QByteArray> pieces;
    for (qsizetype at = 0; at < answer.body.size(); at += step)
        pieces.append(answer.body.mid(at, step));
    QPointer<QTcpSocket> guard(socket);
    for (int i = 0; i <= pieces.size(); ++i) {
        QTimer::singleShot(answer.chunkDelayMs * (i + 1), this, [guard, pieces, i] {
            if (!guard)
                return;
            if (i == pieces.size()) {
                guard->write("0\r\n\r\n");
                return;
            }
            guard->write(QByteArray::number(pieces[i].size(), 16) + "\r\n" + pieces[i] + "\r\n");
        });
    }
}
