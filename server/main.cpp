#include "server/accounts/storefactory.h"
#include "server/log/logwriter.h"
#include "server/options/commandline.h"
#include "server/process/unixsignals.h"
#include "server/scripts/liveserver.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velka-live-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELKA_VERSION));
    const CommandLine line = parseCommandLine(app);

    if (!line.backupTarget.isEmpty()) {
        QString message;
        const bool done = backupAccounts(line.options.database, line.backupTarget, &message);
        std::fprintf(done ? stdout : stderr, done ? "%s\n" : "velka-live-server: %s\n", qUtf8Printable(message));
        return done ? 0 : 1;
    }

    LiveServer server(line.options);
    LogWriter log;
    QObject::connect(&server, &LiveServer::requestLogged, [&log](const QString &entry) { log.add(entry); });
    // A reload reads the TLS files again; a pair that cannot serve leaves the one in use.
    UnixSignals unixSignals;
    QObject::connect(&unixSignals, &UnixSignals::hangUp, [&] {
        QString error;
        if (line.options.tlsCertificate.isEmpty())
            log.add(QStringLiteral("velka-live-server: reload: nothing to reload (no TLS files)"));
        else if (server.reloadTls(&error))
            log.add(QStringLiteral("velka-live-server: reload: TLS certificate and key read again"));
        else
            log.add(QStringLiteral("velka-live-server: reload refused, the TLS pair in use kept: ") + error);
    });
    // Stopping answers what was asked first, for at most the drain timeout; a
    // second signal ends at once.
    QObject::connect(&unixSignals, &UnixSignals::stopAsked, [&](int signal) {
        if (server.isDraining()) {
            log.add(QStringLiteral("velka-live-server: signal %1 again: stopping now").arg(signal));
            log.flush();
            std::_Exit(1);
        }
        log.add(QStringLiteral("velka-live-server: signal %1: stopping once %2 requests are answered")
                    .arg(signal)
                    .arg(server.unansweredCount()));
        server.stopGracefully(line.options.drainTimeoutMs);
    });
    QObject::connect(&server, &LiveServer::stopped, [&](int cut) {
        if (cut > 0)
            log.add(QStringLiteral("velka-live-server: drain timeout: %1 requests cut unanswered").arg(cut));
        log.add(QStringLiteral("velka-live-server: stopped"));
        app.exit(0);
    });
    if (!server.start()) {
        std::fprintf(stderr, "velka-live-server: %s\n", qUtf8Printable(server.errorString()));
        return 1;
    }
    std::printf("%s\n", qUtf8Printable(server.baseUrl().toString()));
    std::fflush(stdout);
    return app.exec();
}
