#include "server/process/unixsignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int pipeEnds[2] = {-1, -1};

void onSignal(int signal)
{
    const int saved = errno;
    const char number = char(signal);
    // A full pipe drops the byte: the loop has signals of that kind to read already.
    [[maybe_unused]] const ssize_t written = ::write(pipeEnds[0], &number, 1);
    errno = saved;
}

} // namespace

UnixSignals::UnixSignals(QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pipeEnds) != 0)
        qFatal("velka-live-server: no socket pair for signals");
    m_notifier = new QSocketNotifier(pipeEnds[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UnixSignals::readSignals);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGHUP, SIGTERM, SIGINT})
        ::sigaction(signal, &action, nullptr);
}

UnixSignals::~UnixSignals()
{
    for (const int signal : {SIGHUP, SIGTERM, SIGINT})
        std::signal(signal, SIG_DFL);
    delete m_notifier;
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    pipeEnds[0] = pipeEnds[1] = -1;
}

void UnixSignals::readSignals()
{
    char numbers[16];
    ssize_t count = 0;
    while ((count = ::read(pipeEnds[1], numbers, sizeof numbers)) > 0) {
        for (ssize_t i = 0; i < count; ++i) {
            if (numbers[i] == SIGHUP)
                emit hangUp();
            else
                emit stopAsked(numbers[i]);
        }
    }
}
