// A TCP proxy on 127.0.0.1 that holds every chunk it reads for a while before
// passing it on, each way: a database some distance away, for the sign-in row
// of bench/run.sh. Written here because nothing packaged fits: netem (tc) needs
// root and the sch_netem module, which this kernel lacks, and would slow the
// whole loopback, every other row with it; socat and simpleproxy forward at
// once; trickle shapes bandwidth, not latency.
//   velka-bench-delay LISTEN-PORT TARGET-PORT [DELAY-MS, default 1]
// Prints its address once it listens; on SIGTERM, the chunks passed each way.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <deque>
#include <unistd.h>

namespace {

qint64 chunks[2] = {0, 0}; // to the target, back to the client

// One direction: what `from` sends reaches `to` DELAY later, in order, and its
// end after the last of it.
class Leg : public QObject
{
public:
    Leg(QTcpSocket *from, QTcpSocket *to, int delayMs, qint64 *count)
        : QObject(from)
        , m_from(from)
        , m_to(to)
        , m_delayMs(delayMs)
        , m_count(count)
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, &Leg::pass);
        connect(from, &QTcpSocket::readyRead, this, &Leg::take);
        // Nothing is read before the other end is there: held in the kernel meanwhile.
        connect(to, &QTcpSocket::connected, this, &Leg::take);
        connect(from, &QTcpSocket::disconnected, this, &Leg::pass);
    }

private:
    struct Held
    {
        QDeadlineTimer due;
        QByteArray bytes;
    };

    void take()
    {
        if (m_to->state() != QAbstractSocket::ConnectedState)
            return;
        const QByteArray chunk = m_from->readAll();
        if (chunk.isEmpty())
            return;
        m_held.push_back({QDeadlineTimer(m_delayMs, Qt::PreciseTimer), chunk});
        ++*m_count;
        if (!m_timer.isActive())
            m_timer.start(std::max<qint64>(0, m_held.front().due.remainingTime()));
    }

    void pass()
    {
        while (!m_held.empty() && m_held.front().due.hasExpired()) {
            if (m_to->state() == QAbstractSocket::ConnectedState) // else gone meanwhile: dropped
                m_to->write(m_held.front().bytes);
            m_held.pop_front();
        }
        if (!m_held.empty())
            m_timer.start(std::max<qint64>(0, m_held.front().due.remainingTime()));
        else if (m_from->state() == QAbstractSocket::UnconnectedState)
            m_to->disconnectFromHost();
    }

    QTcpSocket *m_from;
    QTcpSocket *m_to;
    const int m_delayMs;
    qint64 *m_count;
    std::deque<Held> m_held;
    QTimer m_timer;
};

// A client and its own connection to the target, both gone once both have ended.
void join(QTcpSocket *client, quint16 targetPort, int delayMs)
{
    auto *target = new QTcpSocket(client);
    for (QTcpSocket *socket : {client, target})
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    new Leg(client, target, delayMs, &chunks[0]);
    new Leg(target, client, delayMs, &chunks[1]);
    const auto ended = [client, target] {
        if (client->state() == QAbstractSocket::UnconnectedState && target->state() == QAbstractSocket::UnconnectedState)
            client->deleteLater();
    };
    QObject::connect(client, &QTcpSocket::disconnected, client, ended);
    QObject::connect(target, &QTcpSocket::disconnected, client, ended);
    QObject::connect(target, &QTcpSocket::errorOccurred, client, [client, target] {
        if (target->state() != QAbstractSocket::ConnectedState)
            client->abort(); // the target refused: so does the proxy
    });
    target->connectToHost(QHostAddress::LocalHost, targetPort);
}

int signalPipe[2];

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return 2;
    const quint16 listenPort = quint16(std::atoi(argv[1])), targetPort = quint16(std::atoi(argv[2]));
    const int delayMs = argc > 3 ? std::atoi(argv[3]) : 1;
    QTcpServer server;
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&] {
        while (QTcpSocket *client = server.nextPendingConnection())
            join(client, targetPort, delayMs);
    });
    if (!server.listen(QHostAddress::LocalHost, listenPort))
        return 1;
    if (::pipe(signalPipe) != 0)
        return 1;
    std::signal(SIGTERM, [](int) { [[maybe_unused]] const auto n = ::write(signalPipe[1], "x", 1); });
    QSocketNotifier stop(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stop, &QSocketNotifier::activated, &app, [] {
        std::fprintf(stderr, "chunks to the target %lld, back %lld\n", qlonglong(chunks[0]), qlonglong(chunks[1]));
        QCoreApplication::quit();
    });
    std::printf("127.0.0.1:%u\n", unsigned(server.serverPort()));
    std::fflush(stdout);
    return app.exec();
}
