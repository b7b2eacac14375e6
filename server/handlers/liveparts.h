#pragma once

// What one start() of the live server opens, and the routes between its
// parts: shared by the files of handlers/, each one route's handling
// (sign-in, registration, health and metrics). Not for use outside the server.
#include "server/accounts/storelane.h"
#include "server/handlers/liveserver.h"
#include "server/handlers/metrics.h"
#include "server/handlers/scriptparameters.h"
#include "server/handlers/signinrecorder.h"
#include "server/http/httpserver.h"
#include "server/passwords/hashpool.h"
#include "server/throttle/signincounts.h"

#include <QElapsedTimer>
#include <QSet>
#include <QTimer>

#include <memory>

class LiveServer::Parts final : public QObject
{
public:
    // How long a registration's statement may wait on a silent database.
    static constexpr int RegistrationCutMs = 30000;

    Parts(const LiveServerOptions &options, LiveServer *server);
    ~Parts() override;

    bool start(QString *error);
    // Requests read and not answered yet, on both addresses.
    int unansweredCount() const;
    int pendingHashes() const { return m_hashes.pending(); }

    const LiveServerOptions options;
    LiveServer *const server;
    std::unique_ptr<HttpServer> front;
    std::unique_ptr<HttpServer> admin; // metrics and health, on an address of their own

private:
    // A sign-in on its way: who asks, for what, and what the database said.
    struct SignIn
    {
        HttpExchange exchange;
        qint64 login = 0;
        QString source; // the client's key (clientkey.h)
        QByteArray digest;
        QByteArray storedHash; // empty: no such account
        Admission admission;
        QString note;
    };
    using SignInPtr = std::shared_ptr<SignIn>;

    void route(const HttpExchange &exchange);
    void routeAdmin(const HttpExchange &exchange);
    // /health/live, /health/ready and, on the admin address alone, /metrics.
    bool answerOperator(const HttpExchange &exchange, bool withMetrics);
    void answer(const HttpExchange &exchange, HttpReply reply, Outcome outcome = Outcome::Other, int code = 0);
    void signIn(const HttpExchange &exchange);
    void admitted(const SignInPtr &attempt, AccountStore::Result found);
    void check(const SignInPtr &attempt);
    void checked(const SignInPtr &attempt, bool accepted, const QByteArray &renewedHash);
    void ended(const SignInPtr &attempt, bool accepted);
    void registration(const HttpExchange &exchange);
    // slot: the client key whose registration allowance was taken, or empty.
    void hashNewAccount(const HttpExchange &exchange, const RegistrationRequest &request, const QString &slot);
    void store(const HttpExchange &exchange, const RegistrationRequest &request, const QByteArray &hash, const QString &slot);
    void giveBack(const QString &slot);
    void storeFailed(const HttpExchange &exchange, AccountStore::Result result, const QString &error);
    // Between two registrations of one client's allowance coming back.
    qint64 registrationIntervalMs() const;
    void refuseRegistration(const HttpExchange &exchange, int code, const QString &note = {});
    void availabilityChanged(StoreLane *lane, bool available);
    // Every half second: statements a silent database holds cut; an outage
    // logged once, and its end.
    void watch();
    void outageSeen();
    bool databaseAnswers() const;
    bool ready(QByteArray *why) const;

    const QStringList m_directory;
    // The scripts' paths as the access log shows them.
    const QByteArray m_loginPath, m_registerPath;
    ServerMetrics m_metrics;
    QByteArray m_decoyHash;
    // On the sign-in lane's thread alone, and gone after it.
    std::unique_ptr<SignInCounts> m_counts;
    // Sign-ins and their counts on one connection; registrations, whose
    // commits may wait for a standby, on another, so sign-ins never wait for them.
    std::unique_ptr<StoreLane> m_signIns;
    std::unique_ptr<StoreLane> m_registrations;
    QSet<StoreLane *> m_away;
    QElapsedTimer m_outage; // valid while the database is away
    bool m_sawAway = false;
    QTimer m_forget;
    QTimer m_watch; // cuts statements a silent database holds
    std::unique_ptr<SignInRecorder> m_recorder;
    HashPool m_hashes{this}; // first to go: nothing of this run is hashed after it
};
