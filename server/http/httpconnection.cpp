#include "server/http/httpconnection.h"

#include "server/http/httpanswer.h"

#include <QSslSocket>
#include <QTcpSocket>

namespace {

// Requests read in one turn of the event loop from one connection, so that a
// pipelining client leaves the others their turn.
constexpr int RequestsPerTurn = 32;

} // namespace

HttpConnection::HttpConnection(QTcpSocket *socket, const HttpOptions &options, bool readForwardedFor)
    : m_socket(socket)
    , m_secure(qobject_cast<QSslSocket *>(socket))
    , m_options(options)
    , m_reader(options.requestLimits, readForwardedFor)
    , m_address(socket->peerAddress())
    , m_peer(hostText(m_address) + u':' + QString::number(socket->peerPort()))
    , m_trusted(readForwardedFor)
{
    socket->setParent(this);
    socket->setReadBufferSize(SocketBuffer);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &HttpConnection::timedOut);
    m_probe.setInterval(200);
    connect(&m_probe, &QTimer::timeout, this, &HttpConnection::probe);
    connect(socket, &QIODevice::readyRead, this, &HttpConnection::pull);
    connect(socket, &QIODevice::bytesWritten, this, &HttpConnection::pull);
    connect(socket, &QAbstractSocket::disconnected, this, &HttpConnection::gone);
}

HttpConnection::~HttpConnection()
{
    for (const Exchange &exchange : m_queue)
        exchange->gone = true;
    m_socket->disconnect(this);
    delete m_socket;
}

void HttpConnection::start(const QSslConfiguration *tls)
{
    QSslSocket *const secure = m_secure;
    if (!tls || !secure) {
        m_phase = Phase::Reading;
        arm(m_options.idleTimeoutMs); // a connection that never says anything is idle from the start
        return pull();
    }
    connect(secure, &QSslSocket::encrypted, this, [this] {
        m_phase = Phase::Reading;
        arm(m_options.idleTimeoutMs);
        pull();
    });
    connect(secure, &QAbstractSocket::errorOccurred, this, [this, secure] {
        if (m_phase == Phase::Handshake)
            abort(QStringLiteral("TLS handshake failed: ") + secure->errorString());
    });
    secure->setSslConfiguration(*tls);
    arm(m_options.handshakeTimeout());
    secure->startServerEncryption();
}

int HttpConnection::unanswered() const
{
    int count = 0;
    for (const Exchange &exchange : m_queue)
        count += !exchange->answered;
    return count;
}

qint64 HttpConnection::unsent() const
{
    return m_socket->bytesToWrite() + (m_secure ? m_secure->encryptedBytesToWrite() : 0);
}

void HttpConnection::pull()
{
    if (m_finishing)
        return linger();
    if (m_phase != Phase::Reading || m_pulling)
        return;
    m_pulling = true;
    for (int taken = 0; m_phase == Phase::Reading && int(m_queue.size()) < m_options.maxRequestsInFlight && unsent() == 0;) {
        if (taken == RequestsPerTurn) {
            QMetaObject::invokeMethod(this, &HttpConnection::pull, Qt::QueuedConnection);
            break;
        }
        char chunk[4096];
        const qint64 got = m_socket->peek(chunk, sizeof chunk);
        if (got <= m_given)
            break;
        const qsizetype used = m_reader.take(chunk + m_given, got - m_given);
        if (used > 0) {
            m_lastByte = chunk[m_given + used - 1];
            m_tookAny = true;
        }
        m_socket->skip(m_given + used);
        m_given = 0;
        if (m_reader.verdict() != RequestReader::Verdict::Ok) {
            reject(int(m_reader.verdict()), m_reader.tlsHandshake() ? QStringLiteral("TLS handshake on the plain port")
                                                                    : QString::fromLatin1(RequestReader::meaning(m_reader.verdict())));
            break;
        }
        if (m_reader.requestEnded()) {
            ++taken;
            m_wasMid = false;
            dispatch();
        } else if (!m_wasMid && m_reader.midRequest() && m_queue.empty()) {
            // Whole within the timeout from its first byte: a trickle does not keep a connection.
            m_wasMid = true;
            arm(m_options.idleTimeoutMs);
        }
    }
    m_pulling = false;
    hold();
}

void HttpConnection::hold()
{
    // Once finishing, linger() reads and drops all: nothing is held.
    if (m_phase == Phase::Gone || m_finishing)
        return;
    // While an answer is due or unsent, Qt reads no more from the kernel, which
    // holds what comes next: a client that half-closes after its request is still
    // answered (Qt ends a connection once it reads its end), and one that reads
    // no answer cannot fill our memory. Qt stops reading once its buffer is full:
    // a buffer the size of what it holds, at least the last byte taken given back.
    const bool held = !m_queue.empty() || unsent() > 0 || m_phase != Phase::Reading;
    if (held && unanswered() > 0)
        m_probe.start();
    else
        m_probe.stop();
    if (!held) {
        m_socket->setReadBufferSize(SocketBuffer);
        return;
    }
    if (m_socket->bytesAvailable() == 0 && m_given == 0 && m_tookAny) {
        m_socket->ungetChar(m_lastByte);
        m_given = 1;
    }
    m_socket->setReadBufferSize(std::max<qint64>(1, m_socket->bytesAvailable()));
}

void HttpConnection::dispatch()
{
    auto exchange = std::make_shared<HttpExchange::State>();
    exchange->head = m_reader.head();
    exchange->client = m_address;
    QHostAddress named;
    if (m_trusted && !exchange->head.forwardedFor.isEmpty() && named.setAddress(QString::fromLatin1(exchange->head.forwardedFor)))
        exchange->client = named;
    exchange->clock.start();
    exchange->close = exchange->head.close || m_draining;
    exchange->connection = this;
    if (exchange->close)
        m_phase = Phase::Closing; // nothing after it is read
    m_queue.push_back(exchange);
    emit request(HttpExchange(exchange));
}

void HttpConnection::reject(int status, const QString &why)
{
    if (m_reader.tlsHandshake())
        return abort(why, status); // a TLS client could read no plain answer
    // After the answers to every request before it, in order.
    auto exchange = std::make_shared<HttpExchange::State>();
    exchange->clock.start();
    exchange->close = true;
    exchange->answered = true;
    exchange->reply.status = status;
    exchange->reply.note = why;
    m_phase = Phase::Closing;
    m_queue.push_back(exchange);
    send();
}

void HttpConnection::refuse(int status, const QString &why)
{
    if (m_secure)
        return abort(why + QStringLiteral(", closed before its TLS handshake"));
    m_phase = Phase::Reading; // so that reject() answers it
    reject(status, why);
}

void HttpConnection::send()
{
    if (m_phase == Phase::Gone)
        return;
    while (!m_queue.empty() && m_queue.front()->answered) {
        const Exchange exchange = std::move(m_queue.front());
        m_queue.pop_front();
        const HttpReply &reply = exchange->reply;
        QByteArray fields;
        if (reply.status == 405)
            fields += "Allow: " + QByteArray(reply.allow.data(), reply.allow.size()) + "\r\n";
        if (reply.retryAfterSeconds > 0)
            fields += "Retry-After: " + QByteArray::number(reply.retryAfterSeconds) + "\r\n";
        if (exchange->close)
            fields += "Connection: close\r\n";
        m_socket->write(httpAnswer(reply.status, fields, reply.body, exchange->head.method != "HEAD"));
        log(*exchange, reply.status);
    }
    // To the kernel now, before a client that half-closed is seen to end.
    m_socket->flush();
    if (m_phase == Phase::Closing && m_queue.empty())
        return finish();
    if (m_queue.empty())
        arm(m_options.idleTimeoutMs);
    if (!m_pulling)
        pull();
}

void HttpConnection::log(const HttpExchange::State &exchange, int sentStatus)
{
    if (exchange.reply.quiet && sentStatus == 200)
        return;
    AccessEntry entry;
    entry.peer = m_peer;
    entry.method = accessLogMethod(exchange.head.method);
    entry.path = exchange.reply.route;
    entry.status = sentStatus;
    entry.body = exchange.reply.body;
    entry.ms = exchange.clock.elapsed();
    entry.note = exchange.reply.note;
    emit logged(accessLogLine(entry, m_options.logFormat));
}
