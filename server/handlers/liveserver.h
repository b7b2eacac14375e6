#pragma once

#include "server/options/serveroptions.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

// The live server: login.php and register.php over HTTP GET, accounts in an
// AccountStore on threads of its own, password hashing on a pool of its own,
// so the event loop keeps answering whatever the database and the hashes do.
// Lives on the thread that created it.
class LiveServer : public QObject
{
    Q_OBJECT

public:
    explicit LiveServer(const LiveServerOptions &options, QObject *parent = nullptr);
    ~LiveServer() override;

    // Opens the store and starts listening; false with errorString() on failure.
    bool start();
    // Closes every connection, lets running hashes end and closes the store.
    // Answers not yet sent are dropped; nothing is half stored.
    void stop();

    // Takes no more connections and ends the run once every request read has
    // its answer and every connection has closed, or after timeoutMs, whichever
    // comes first; stopped() then tells how many requests were cut unanswered.
    void stopGracefully(int timeoutMs);
    bool isDraining() const { return m_drain.isActive(); }

    // Reads the TLS certificate and key again for the connections to come; on
    // failure the pair in use stays, and error says why.
    bool reloadTls(QString *error);

    bool isRunning() const { return m_parts != nullptr; }
    quint16 port() const;
    quint16 adminPort() const; // 0: no admin address
    // scheme://address:port/directory/: what every script URL starts with.
    QUrl baseUrl() const;
    QString errorString() const { return m_error; }
    // Requests accepted and waiting for their password hash: a load gauge.
    int pendingHashes() const;
    // Connections open now.
    int connectionCount() const;
    // Requests read and not answered yet.
    int unansweredCount() const;
    const LiveServerOptions &options() const { return m_options; }
    // Where the metrics learn how many log lines could not be written.
    void setLogLinesDropped(std::function<qint64()> count) { m_logLinesDropped = std::move(count); }
    qint64 logLinesDropped() const { return m_logLinesDropped ? m_logLinesDropped() : 0; }

signals:
    // One access-log line per request: never a digest, never the query.
    void requestLogged(const QString &line);
    // A line of the server's own: the database gone or back, a warning.
    void message(const QString &text);
    void stopped(int cut);

private:
    // Everything one start() opens; stop() ends it, and with it whatever of
    // it is still queued or timed.
    class Parts;

    LiveServerOptions m_options;
    QString m_error;
    std::unique_ptr<Parts> m_parts;
    QTimer m_drain; // while stopping gracefully: looks whether all is answered
    QDeadlineTimer m_drainDeadline;
    std::function<qint64()> m_logLinesDropped;
};
