#pragma once

#include "server/options/serveroptions.h"

#include <QObject>
#include <QUrl>

#include <memory>

// The live server: login.php and register.php over HTTP GET, accounts in an
// AccountStore, password hashing on a pool of its own so the event loop keeps
// answering. Lives on the thread that created it.
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

    bool isRunning() const { return m_run != nullptr; }
    quint16 port() const;
    // scheme://address:port/directory/: what every script URL starts with.
    QUrl baseUrl() const;
    QString errorString() const { return m_error; }
    // Requests accepted and waiting for their password hash: a load gauge.
    int pendingHashes() const;
    // Connections open now.
    int connectionCount() const;
    const LiveServerOptions &options() const { return m_options; }

signals:
    // One access-log line per request: never a digest, never the query.
    void requestLogged(const QString &line);

private:
    // Everything one start() opens; stop() ends it, and with it whatever of
    // the run is still queued or timed.
    class Run;

    LiveServerOptions m_options;
    QString m_error;
    std::unique_ptr<Run> m_run;
};
