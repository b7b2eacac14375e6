#pragma once

// What one start() of the live server opens, and how it answers: shared by the
// files of scripts/, each a part of it (sign-in, registration, the database's
// absences, the operators' routes). Not for use outside the server.
#include "server/accounts/storefactory.h"
#include "server/http/httpfront.h"
#include "server/scripts/hashqueue.h"
#include "server/scripts/liveserver.h"
#include "server/scripts/metrics.h"
#include "server/scripts/scriptparameters.h"
#include "server/scripts/signinrecorder.h"
#include "server/scripts/signinthrottle.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QSet>
#include <QTimer>

#include <functional>
#include <optional>
#include <vector>

class LiveServer::Run final : public QObject
{
public:
    Run(const LiveServerOptions &options, LiveServer *server);
    ~Run() override;

    bool start(QString *error);

    const LiveServerOptions options;
    std::unique_ptr<HttpFront> front;
    ServerMetrics metrics;
    LiveServer *const server;
    quint16 adminPort() const { return m_admin ? m_admin->port() : 0; }

private:
    void request(const HttpRequest &request);
    // /health/live, /health/ready and, on the admin address alone, /metrics.
    bool answerOperator(HttpFront &to, quint64 id, QByteArrayView path, bool admin);
    void counted(QLatin1String path, int status, const QByteArray &body);
    // A sign-in on its way: who asks, for what.
    struct Attempt
    {
        qint64 login;
        QString source; // the client's address
        QByteArray digest;
    };
    void signIn(quint64 id, const QueryParameters &query, const QHostAddress &client);
    void checkSignIn(quint64 id, const Attempt &attempt);
    void verify(quint64 id, const Attempt &attempt, AccountStore::Result found, const QByteArray &stored);
    void signInChecked(quint64 id, const Attempt &attempt, bool accepted, const QByteArray &renewedHash);
    void registration(quint64 id, const QueryParameters &query);
    void registrationHashed(quint64 id, const RegistrationRequest &request, const QByteArray &hash);
    void registered(quint64 id, AccountStore::Result result, qint64 login);
    // attempt() now and, while the database is unavailable, again once it
    // answers, for at most the database wait; then done(its last result). A
    // request whose client has gone meanwhile gets done(Failed).
    using StoreCall = std::function<AccountStore::Result()>;
    using StoreDone = std::function<void(AccountStore::Result)>;
    void whenAvailable(quint64 id, const StoreCall &attempt, const StoreDone &done, QDeadlineTimer deadline);
    void retryParked();
    // Once an outage, once its end: not once a request.
    void databaseLost();
    void databaseBack();

    const QStringList m_directory;
    // The scripts' paths as the access log shows them.
    const QByteArray m_loginPath, m_registerPath;
    std::unique_ptr<AccountStore> m_store;
    QByteArray m_decoyHash;
    std::optional<SignInThrottle> m_throttle; // on the store, once open
    QTimer m_forget;
    // Requests waiting for the database to come back, and the look whether it has.
    struct Parked
    {
        quint64 id;
        QDeadlineTimer deadline;
        std::function<void()> retry;
        StoreDone done;
    };
    std::vector<Parked> m_parked;
    QTimer m_reconnect;
    QElapsedTimer m_outage; // valid while the database is away
    QSet<quint64> m_waiting; // answered later, and their clients are still there
    SignInRecorder m_signIns; // before the store goes, it writes what it holds
    LiveServerOptions m_adminOptions;
    std::unique_ptr<HttpFront> m_admin; // metrics and health, on an address of its own

public:
    HashQueue hashes{this}; // first to go: nothing of this run is hashed after it
};
