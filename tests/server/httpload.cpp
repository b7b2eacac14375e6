#include "httpload.h"

#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>

struct HttpLoad::Connection
{
    QTcpSocket socket;
    QByteArray buffer;
    qsizetype inFlight = -1; // index of the request waiting for its answer
    bool alive = true;
};

HttpLoad::HttpLoad(const QList<quint16> &ports, int connections)
{
    for (int i = 0; i < connections; ++i) {
        auto connection = std::make_unique<Connection>();
        Connection *c = connection.get();
        connect(&c->socket, &QTcpSocket::connected, this, [this, c] { sendNext(*c); });
        connect(&c->socket, &QTcpSocket::readyRead, this, [this, c] { readAnswers(*c); });
        connect(&c->socket, &QTcpSocket::disconnected, this, [this, c] { lost(*c); });
        connect(&c->socket, &QTcpSocket::errorOccurred, this, [this, c] { lost(*c); });
        c->socket.setProperty("port", ports.at(i % ports.size()));
        m_connections.push_back(std::move(connection));
    }
}

HttpLoad::~HttpLoad()
{
    for (auto &c : m_connections)
        c->socket.disconnect(this);
}

bool HttpLoad::run(const QStringList &paths, const Answer &onAnswer, int timeoutMs)
{
    m_paths = paths;
    m_onAnswer = onAnswer;
    m_alive = int(m_connections.size());
    QEventLoop loop;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &loop, [&] {
        const bool drained = m_stopped || m_next >= m_paths.size();
        bool idle = true;
        for (const auto &c : m_connections)
            idle = idle && (c->inFlight < 0 || !c->alive);
        if (m_alive == 0 || (drained && idle))
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    for (auto &c : m_connections)
        c->socket.connectToHost(QHostAddress::LocalHost, c->socket.property("port").value<quint16>());
    poll.start(5);
    loop.exec();
    for (auto &c : m_connections)
        c->socket.abort();
    return m_next >= m_paths.size() && m_answered + m_broken == m_sent;
}

void HttpLoad::sendNext(Connection &c)
{
    if (m_stopped || m_next >= m_paths.size() || !c.alive)
        return;
    c.inFlight = m_next++;
    ++m_sent;
    c.socket.write("GET " + m_paths.at(c.inFlight).toUtf8() + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
}

void HttpLoad::readAnswers(Connection &c)
{
    c.buffer += c.socket.readAll();
    for (;;) {
        const qsizetype headerEnd = c.buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0 || c.inFlight < 0)
            return;
        const QByteArray head = c.buffer.left(headerEnd);
        qsizetype length = 0;
        for (const QByteArray &line : head.split('\n')) {
            if (line.toLower().startsWith("content-length:"))
                length = line.mid(15).trimmed().toLongLong();
        }
        if (c.buffer.size() < headerEnd + 4 + length)
            return;
        const int status = head.mid(9, 3).toInt();
        const QByteArray body = c.buffer.mid(headerEnd + 4, length);
        c.buffer.remove(0, headerEnd + 4 + length);
        const qsizetype index = c.inFlight;
        c.inFlight = -1;
        ++m_answered;
        m_onAnswer(index, status, body);
        sendNext(c);
    }
}

void HttpLoad::lost(Connection &c)
{
    if (!c.alive)
        return;
    c.alive = false;
    --m_alive;
    if (c.inFlight >= 0) {
        ++m_broken;
        c.inFlight = -1;
    }
}
