#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QTcpServer>

class QTcpSocket;

// A scriptable HTTP/1.1 server on 127.0.0.1 for answers the reference server
// never gives: odd bodies, error statuses, slow chunked transfers.
class LoopbackServer : public QObject
{
    Q_OBJECT

public:
    struct Answer
    {
        int status = 200;
        QByteArray body;
        // Sent in this many chunks, one per chunkDelayMs, with chunked encoding.
        int chunks = 0;
        int chunkDelayMs = 0;
        // Answered only when release() is called; with partial >= 0 the head
        // and that many body bytes go out (after chunkDelayMs, so the client's
        // progress reports are not throttled away) and the rest on release().
        bool held = false;
        int partial = -1;
    };

    explicit LoopbackServer(QObject *parent = nullptr);
    ~LoopbackServer() override;

    quint16 port() const;
    QString url() const; // "http://127.0.0.1:<port>"

    // Answers for targets whose path (the part before '?') ends with suffix;
    // anything else gets defaultAnswer.
    void setAnswer(const QByteArray &pathSuffix, const Answer &answer);
    void setDefaultAnswer(const Answer &answer) { m_default = answer; }

    // Request targets in the order they arrived, exactly as on the request line.
    QList<QByteArray> targets() const { return m_targets; }
    QList<QByteArray> requestLines() const { return m_lines; }
    void release();

signals:
    void requestReceived(const QByteArray &target);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void respond(QTcpSocket *socket, const Answer &answer);

    QTcpServer m_server;
    QHash<QByteArray, Answer> m_answers;
    Answer m_default;
    QList<QByteArray> m_targets;
    QList<QByteArray> m_lines;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    QList<std::pair<QTcpSocket *, Answer>> m_held;
};
