#include "server/scripts/liverun.h"

#include "net/liveprotocol.h"

#include <QDateTime>
#include <QRandomGenerator>

namespace {

QByteArray scriptPath(const QStringList &directory, const char *script)
{
    return (directory.isEmpty() ? QString() : u'/' + directory.join(u'/')).toUtf8() + '/' + script;
}

} // namespace

LiveServer::Run::Run(const LiveServerOptions &options, LiveServer *server)
    : options(options)
    , front(std::make_unique<HttpFront>(this->options))
    , server(server)
    , m_directory(options.directory.split(u'/', Qt::SkipEmptyParts))
    , m_loginPath(scriptPath(m_directory, LiveScript::Login))
    , m_registerPath(scriptPath(m_directory, LiveScript::Register))
{
    connect(front.get(), &HttpFront::logged, server, &LiveServer::requestLogged);
    connect(front.get(), &HttpFront::requestArrived, this, &Run::request);
    connect(front.get(), &HttpFront::requestGone, this, [this](quint64 id) {
        m_waiting.remove(id);
        hashes.gone(id);
    });
    connect(front.get(), &HttpFront::answered, this, &Run::counted);
}

LiveServer::Run::~Run()
{
    front.reset();
    m_signIns.flush();
}

bool LiveServer::Run::start(QString *error)
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
        m_adminOptions = options;
        m_adminOptions.address = options.adminAddress;
        m_adminOptions.port = options.adminPort;
        m_adminOptions.tlsCertificate.clear();
        m_adminOptions.tlsKey.clear();
        m_admin = std::make_unique<HttpFront>(m_adminOptions);
        connect(m_admin.get(), &HttpFront::logged, server, &LiveServer::requestLogged);
        connect(m_admin.get(), &HttpFront::requestArrived, this, [this](const HttpRequest &request) {
            const qsizetype mark = request.target.indexOf('?');
            if (!answerOperator(*m_admin, request.id, QByteArrayView(request.target).first(mark < 0 ? request.target.size() : mark), true))
                m_admin->answer(request.id, 404);
        });
        if (!m_admin->listen(error))
            return false;
    }
    m_store = openAccountStore(options.database, options.readOnly, options.createDatabase, error);
    if (!m_store)
        return false;
    m_signIns.setStore(m_store.get());
    m_throttle.emplace(options.signInThrottle, m_store.get());
    m_forget.start(60000);
    m_reconnect.setInterval(250);
    connect(&m_reconnect, &QTimer::timeout, this, &Run::retryParked);
    connect(&m_forget, &QTimer::timeout, this,
            [this] { m_throttle->prune(QDateTime::currentMSecsSinceEpoch()); });
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

void LiveServer::Run::request(const HttpRequest &request)
{
    const quint64 id = request.id;
    const qsizetype mark = request.target.indexOf('?');
    const QByteArray encodedPath = mark < 0 ? request.target : request.target.first(mark);
    const QString path = QString::fromUtf8(QByteArray::fromPercentEncoding(encodedPath));
    if (answerOperator(*front, id, encodedPath, false))
        return;
    const QStringView script = scriptOf(path, m_directory);
    const bool isLogin = script == QLatin1String(LiveScript::Login);
    if (!isLogin && script != QLatin1String(LiveScript::Register))
        return front->answer(id, 404);
    front->setLogPath(id, QLatin1String(isLogin ? m_loginPath : m_registerPath));
    if (request.method != "GET")
        return front->answer(id, 405);
    const QueryParameters query(mark < 0 ? QByteArray() : request.target.sliced(mark + 1));
    if (isLogin)
        signIn(id, query, request.client);
    else
        registration(id, query);
}

LiveServer::LiveServer(const LiveServerOptions &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
{
    // Connections close as their answers go; a look every few milliseconds
    // costs nothing while stopping, and nothing at all the rest of the time.
    m_drain.setInterval(20);
    connect(&m_drain, &QTimer::timeout, this, [this] {
        const bool done = m_run->front->connectionCount() == 0 && m_run->hashes.pending() == 0;
        if (!done && !m_drainDeadline.hasExpired())
            return;
        const int cut = m_run->front->unansweredCount();
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
    if (m_run)
        return true;
    m_error = optionsError(m_options);
    if (!m_error.isEmpty())
        return false;
    auto run = std::make_unique<Run>(m_options, this);
    if (!run->start(&m_error))
        return false;
    m_run = std::move(run);
    return true;
}

void LiveServer::stop()
{
    m_drain.stop();
    m_run.reset();
}

void LiveServer::stopGracefully(int timeoutMs)
{
    if (!m_run || m_drain.isActive())
        return;
    m_run->front->stopAccepting();
    m_drainDeadline.setRemainingTime(timeoutMs);
    m_drain.start();
}

bool LiveServer::reloadTls(QString *error)
{
    if (!m_run) {
        *error = QStringLiteral("not running");
        return false;
    }
    return m_run->front->reloadTls(error);
}

quint16 LiveServer::adminPort() const
{
    return m_run ? m_run->adminPort() : 0;
}

quint16 LiveServer::port() const
{
    return m_run ? m_run->front->port() : 0;
}

int LiveServer::pendingHashes() const
{
    return m_run ? m_run->hashes.pending() : 0;
}

int LiveServer::unansweredCount() const
{
    return m_run ? m_run->front->unansweredCount() : 0;
}

int LiveServer::connectionCount() const
{
    return m_run ? m_run->front->connectionCount() : 0;
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
