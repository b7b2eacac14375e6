#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class QTcpSocket;

// Many keep-alive HTTP/1.1 connections sending GET requests, one in flight
// per connection, as fast as the server answers. Requests are taken from one
// list in order; a connection that breaks is not opened again, so a server
// killed mid-load ends the run. Runs on the caller's event loop.
class HttpLoad : public QObject
{
    Q_OBJECT

public:
    // Connection i goes to ports[i % ports.size()] on 127.0.0.1.
    HttpLoad(const QList<quint16> &ports, int connections);
    ~HttpLoad() override;

    using Answer = std::function<void(qsizetype index, int status, const QByteArray &body)>;
    // Sends every path (absolute, with its query); calls onAnswer for each answer.
    // Returns when all are answered, every connection has broken, or after timeoutMs.
    bool run(const QStringList &paths, const Answer &onAnswer, int timeoutMs = 120000);
    // Ends the run early: nothing more is sent.
    void stop() { m_stopped = true; }

    int sent() const { return m_sent; }
    int answered() const { return m_answered; }
    int broken() const { return m_broken; } // requests sent whose answer never came

private:
    struct Connection;
    void sendNext(Connection &connection);
    void readAnswers(Connection &connection);
    void lost(Connection &connection);

    std::vector<std::unique_ptr<Connection>> m_connections;
    QStringList m_paths;
    Answer m_onAnswer;
    qsizetype m_next = 0;
    int m_sent = 0;
    int m_answered = 0;
    int m_broken = 0;
    int m_alive = 0;
    bool m_stopped = false;
};
