#include "server/handlers/liveparts.h"

#include "net/liveprotocol.h"
#include "server/accounts/storefactory.h"

#include <QRandomGenerator>

namespace {

QByteArray scriptPath(const QStringList &directory, const char *script)
{
    return (directory.isEmpty() ? QString() : u'/' + directory.join(u'/')).toUtf8() + '/' + script;
}

// The admin address serves the same as the public one, but plain and with
// connections of its own.
HttpOptions adminOptions(const LiveServerOptions &options)
{
    HttpOptions admin = options;
    admin.address = options.adminAddress;
    admin.port = options.adminPort;
    admin.tlsCertificate.clear();
    admin.tlsKey.clear();
    return admin;
}

} // namespace

LiveServer::Parts::Parts(const LiveServerOptions &options, LiveServer *server)
    : options(options)
    , server(server)
    , m_directory(options.directory.split(u'/', Qt::SkipEmptyParts))
    , m_loginPath(scriptPath(m_directory, LiveScript::Login))
    , m_registerPath(scriptPath(m_directory, LiveScript::Register))
{
    front = std::make_unique<HttpServer>(this->options, [this](const HttpExchange &exchange) { route(exchange); });
    connect(front.get(), &HttpServer::logged, server, &LiveServer::requestLogged);
}

LiveServer::Parts::~Parts()
{
    // No request comes in any more, and the last sign-ins go to the store
    // before its lanes close, each after what was posted to it.
    front.reset();
    admin.reset();
    m_recorder.reset();
}

bool LiveServer::Parts::start(QString *error)
{
    if (!initPasswordHashing()) {
        *error = QStringLiteral("libsodium cannot be initialised");
        return false;
    }
    // Listening first: a server that cannot have its port leaves no file behind.
    // Nothing is read from the connections before start() returns.
    if (!front->listen(error))
        return false;
    if (options.admin) {
        admin = std::make_unique<HttpServer>(adminOptions(options), [this](const HttpExchange &exchange) { routeAdmin(exchange); });
        connect(admin.get(), &HttpServer::logged, server, &LiveServer::requestLogged);
        if (!admin->listen(error))
            return false;
    }
    // The registrations' lane opens first: it alone may make the database.
    const auto say = [server = server](const QString &text) {
        QMetaObject::invokeMethod(server, [server, text] { emit server->message(text); }, Qt::QueuedConnection);
    };
    m_counts = std::make_unique<SignInCounts>(options.signInThrottle, !options.readOnly, say);
    m_registrations = std::make_unique<StoreLane>(QStringLiteral("registrations"));
    m_signIns = std::make_unique<StoreLane>(QStringLiteral("sign-ins"));
    QStringList warnings;
    for (StoreLane *lane : {m_registrations.get(), m_signIns.get()}) {
        const bool first = lane == m_registrations.get();
        const bool opened = lane->open([&](QString *why) {
            auto store = openAccountStore(options.database, options.readOnly, first && options.createDatabase, why,
                                          options.statementTimeoutMs);
            if (store && first)
                warnings = store->warnings();
            return store;
        }, error);
        if (!opened)
            return false;
        connect(lane, &StoreLane::availabilityChanged, this, [this, lane](bool available) { availabilityChanged(lane, available); });
    }
    for (const QString &warning : std::as_const(warnings))
        emit server->message(QStringLiteral("warning: ") + warning);
    m_recorder = std::make_unique<SignInRecorder>([lane = m_signIns.get()](const QList<SignInRecord> &records) {
        lane->post([records](AccountStore &store) {
            if (store.recordSignIns(records) != AccountStore::Result::Ok)
                qWarning("velka-live-server: %lld sign-ins not recorded: %s", qlonglong(records.size()),
                         qUtf8Printable(store.errorString()));
        });
    });
    connect(&m_forget, &QTimer::timeout, this, [this] {
        m_signIns->post([counts = m_counts.get()](AccountStore &store) {
            counts->prune(store, QDateTime::currentMSecsSinceEpoch());
        });
    });
    m_forget.start(60000);
    connect(&m_watch, &QTimer::timeout, this, &Parts::watch);
    m_watch.start(500);

    // An unknown login is checked against this, so it costs as much time as a
    // wrong password and timing does not tell which logins exist. Made now, it
    // also proves the hash cost fits in memory.
    QByteArray decoySecret(32, Qt::Uninitialized);
    for (char &c : decoySecret)
        c = "0123456789abcdef"[QRandomGenerator::system()->bounded(16)];
    m_decoyHash = hashPassword(decoySecret, options.hashCost);
    if (m_decoyHash.isEmpty()) {
        *error = QStringLiteral("cannot hash at this cost (not enough memory?)");
        return false;
    }
    return true;
}

int LiveServer::Parts::unansweredCount() const
{
    return front->unansweredCount() + (admin ? admin->unansweredCount() : 0);
}

void LiveServer::Parts::answer(const HttpExchange &exchange, HttpReply reply, Outcome outcome, int code)
{
    m_metrics.count(outcome, code);
    exchange.answer(std::move(reply));
}

void LiveServer::Parts::route(const HttpExchange &exchange)
{
    if (answerOperator(exchange, false))
        return;
    const QString path = QString::fromUtf8(QByteArray::fromPercentEncoding(exchange.path().toByteArray()));
    const QStringView script = scriptOf(path, m_directory);
    const bool isLogin = script == QLatin1String(LiveScript::Login);
    if (!isLogin && script != QLatin1String(LiveScript::Register))
        return answer(exchange, HttpReply(404));
    // HEAD is GET without the body, but a registration it made would hand its
    // login to nobody: register.php takes GET alone.
    const QByteArray &method = exchange.request().method;
    if (method != "GET" && (method != "HEAD" || !isLogin)) {
        HttpReply reply(405, {}, QLatin1String(isLogin ? m_loginPath : m_registerPath));
        reply.allow = QLatin1String(isLogin ? "GET, HEAD" : "GET");
        return answer(exchange, reply);
    }
    if (isLogin)
        signIn(exchange);
    else
        registration(exchange);
}

void LiveServer::Parts::routeAdmin(const HttpExchange &exchange)
{
    if (!answerOperator(exchange, true))
        answer(exchange, HttpReply(404));
}

LiveServer::LiveServer(const LiveServerOptions &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
{
    // Connections close as their answers go; a look every few milliseconds
    // costs nothing while stopping, and nothing at all the rest of the time.
    m_drain.setInterval(20);
    connect(&m_drain, &QTimer::timeout, this, [this] {
        const bool done = m_parts->front->connectionCount() == 0 && m_parts->pendingHashes() == 0;
        if (!done && !m_drainDeadline.hasExpired())
            return;
        const int cut = m_parts->unansweredCount();
        m_drain.stop();
        stop();
        emit stopped(cut);
    });
}

LiveServer::~LiveServer()
{
    stop();
}

bool LiveServer::start()
{
    if (m_parts)
        return true;
    m_error = optionsError(m_options);
    if (!m_error.isEmpty())
        return false;
    auto parts = std::make_unique<Parts>(m_options, this);
    if (!parts->start(&m_error))
        return false;
    m_parts = std::move(parts);
    return true;
}

void LiveServer::stop()
{
    m_drain.stop();
    m_parts.reset();
}

void LiveServer::stopGracefully(int timeoutMs)
{
    if (!m_parts || m_drain.isActive())
        return;
    m_parts->front->stopAccepting();
    m_drainDeadline.setRemainingTime(timeoutMs);
    m_drain.start();
}

bool LiveServer::reloadTls(QString *error)
{
    if (!m_parts) {
        *error = QStringLiteral("not running");
        return false;
    }
    return m_parts->front->reloadTls(error);
}

quint16 LiveServer::adminPort() const
{
    return m_parts && m_parts->admin ? m_parts->admin->port() : 0;
}

quint16 LiveServer::port() const
{
    return m_parts ? m_parts->front->port() : 0;
}

int LiveServer::pendingHashes() const
{
    return m_parts ? m_parts->pendingHashes() : 0;
}

int LiveServer::unansweredCount() const
{
    return m_parts ? m_parts->unansweredCount() : 0;
}

int LiveServer::connectionCount() const
{
    return m_parts ? m_parts->front->connectionCount() : 0;
}

QUrl LiveServer::baseUrl() const
{
    const QStringList directory = m_options.directory.split(u'/', Qt::SkipEmptyParts);
    QUrl url;
    url.setScheme(m_options.tlsCertificate.isEmpty() ? QStringLiteral("http") : QStringLiteral("https"));
    url.setHost(m_options.address.toString());
    url.setPort(port());
    url.setPath(directory.isEmpty() ? QStringLiteral("/") : u'/' + directory.join(u'/') + u'/');
    return url;
}
