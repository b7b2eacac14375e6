#include "server/options/commandline.h"

#include "server/options/sharedoptions.h"
#include "server/handlers/scriptparameters.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const QString &message)
{
    std::fprintf(stderr, "velka-live-server: %s\n", qUtf8Printable(message));
    std::exit(2);
}

quint64 number(const QCommandLineParser &parser, const QString &name, quint64 max)
{
    QString error;
    const quint64 value = numberOption(parser, name, max, &error);
    if (!error.isEmpty())
        fail(error);
    return value;
}

// The answers of the scripts, for --help: the register.php codes come from their one definition.
QString answersText()
{
    QString text = QStringLiteral("\nlogin.php answers 1 for an accepted sign-in, 0 otherwise.\n"
                                  "register.php answers the new login, or one of these codes:\n");
    for (const RegisterError::Meaning &meaning : RegisterError::Meanings)
        text += QStringLiteral("  %1  %2\n").arg(meaning.code, 2).arg(QLatin1String(meaning.text));
    text.chop(1);
    return text;
}

} // namespace

CommandLine parseCommandLine(const QCoreApplication &app)
{
    const LiveServerOptions defaults;
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Live server of the VELKA Live Assistant: answers login.php and register.php.\n")
        + answersText());
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {QStringLiteral("listen"), QStringLiteral("Address to listen on (\"localhost\", \"any\" or a literal address)."),
         QStringLiteral("address"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("port"), QStringLiteral("TCP port; 0 picks a free one."), QStringLiteral("n"),
         QString::number(LiveServerOptions::DefaultPort)},
        databaseOption(),
        {QStringLiteral("create-database"),
         QStringLiteral("Make the database when there is none: the SQLite file (and its folder), or the tables in "
                        "an empty PostgreSQL database. Without it the server refuses to start on none.")},
        {QStringLiteral("exit-after-create"),
         QStringLiteral("Only open the database (made with --create-database, its schema brought up to date), "
                        "then exit.")},
        {QStringLiteral("read-only"), QStringLiteral("Serve sign-ins only; registrations answer -5.")},
        {QStringLiteral("directory"), QStringLiteral("URL directory of the scripts."), QStringLiteral("dir"),
         defaults.directory},
    });
    parser.addOptions(hashCostOptions());
    parser.addOptions({
        {QStringLiteral("max-pending"), QStringLiteral("Password hashes allowed to wait at once."),
         QStringLiteral("n"), QString::number(defaults.maxPendingHashes)},
        {QStringLiteral("max-connections"), QStringLiteral("Connections open at once; more get 503."),
         QStringLiteral("n"), QString::number(defaults.maxConnections)},
        {QStringLiteral("max-connections-per-address"),
         QStringLiteral("Connections open at once from one client address; more from it get 503."),
         QStringLiteral("n"), QString::number(defaults.maxConnectionsPerAddress)},
        {QStringLiteral("idle-timeout"),
         QStringLiteral("Seconds a connection may stay idle, or take to send one request."), QStringLiteral("s"),
         QString::number(defaults.idleTimeoutMs / 1000)},
        {QStringLiteral("database-wait"),
         QStringLiteral("Milliseconds requests wait for a database that is away (restarted, failed over) before "
                        "sign-ins get 503 and registrations -4."),
         QStringLiteral("ms"), QString::number(defaults.databaseWaitMs)},
        {QStringLiteral("statement-timeout"),
         QStringLiteral("Milliseconds a PostgreSQL statement may run; one the database leaves unanswered is cut "
                        "2 s after."),
         QStringLiteral("ms"), QString::number(defaults.statementTimeoutMs)},
        {QStringLiteral("drain-timeout"),
         QStringLiteral("Seconds a stopping server (SIGTERM, SIGINT) gives the requests it has read to be answered."),
         QStringLiteral("s"), QString::number(defaults.drainTimeoutMs / 1000)},
        {QStringLiteral("max-request-line"), QStringLiteral("Bytes of a request line; longer ones get 414."),
         QStringLiteral("bytes"), QString::number(defaults.requestLimits.maxRequestLine)},
        {QStringLiteral("max-header-size"),
         QStringLiteral("Bytes of all header fields of a request; more get 431."), QStringLiteral("bytes"),
         QString::number(defaults.requestLimits.maxHeaderBytes)},
        {QStringLiteral("free-failed-sign-ins"),
         QStringLiteral("Failed sign-ins from one address at one login before its next ones are slowed down."),
         QStringLiteral("n"), QString::number(defaults.signInThrottle.freeFailures)},
        {QStringLiteral("sign-in-delay"),
         QStringLiteral("First delay of a slowed-down sign-in, doubling with each failure."), QStringLiteral("ms"),
         QString::number(defaults.signInThrottle.firstDelayMs)},
        {QStringLiteral("registrations-per-hour"),
         QStringLiteral("Registrations one client may make in an hour (at once after a quiet hour, then one every "
                        "60/n minutes); more get -12. 0: no limit."),
         QStringLiteral("n"), QString::number(defaults.registrationsPerHour)},
        {QStringLiteral("ipv6-prefix"),
         QStringLiteral("Bits of an IPv6 address that make one client, for the counts of failed sign-ins and of "
                        "registrations."),
         QStringLiteral("bits"), QString::number(defaults.ipv6PrefixLength)},
        {QStringLiteral("trusted-proxy"),
         QStringLiteral("A proxy (address or address/bits) whose X-Forwarded-For header names the client; repeatable."),
         QStringLiteral("subnet")},
        {QStringLiteral("admin-listen"),
         QStringLiteral("address:port for /metrics and the health checks, never served on the public port; "
                        "\"off\" (the default) for none."),
         QStringLiteral("address:port"), QStringLiteral("off")},
        {QStringLiteral("log-format"), QStringLiteral("Log lines as \"text\" or \"json\" (one object a line)."),
         QStringLiteral("format"), QStringLiteral("text")},
        {QStringLiteral("tls-cert"), QStringLiteral("PEM certificate (chain) to serve HTTPS."), QStringLiteral("pem")},
        {QStringLiteral("tls-key"), QStringLiteral("Unencrypted PEM private key of --tls-cert."), QStringLiteral("pem")},
        {QStringLiteral("backup"),
         QStringLiteral("Copy the accounts of the SQLite --database into a new file, consistently even while "
                        "servers go on, then exit."),
         QStringLiteral("file")},
    });
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        fail(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));

    CommandLine line;
    LiveServerOptions &options = line.options;
    const QString listen = parser.value(QStringLiteral("listen"));
    if (listen == QLatin1String("localhost"))
        options.address = QHostAddress(QHostAddress::LocalHost);
    else if (listen == QLatin1String("any"))
        options.address = QHostAddress(QHostAddress::Any);
    else if (!options.address.setAddress(listen))
        fail(QStringLiteral("--listen: \"%1\" is not an address").arg(listen));
    options.port = quint16(number(parser, QStringLiteral("port"), 65535));
    options.database = parser.value(QStringLiteral("database"));
    options.readOnly = parser.isSet(QStringLiteral("read-only"));
    options.createDatabase = parser.isSet(QStringLiteral("create-database"));
    options.directory = parser.value(QStringLiteral("directory"));

    QString costError;
    options.hashCost = hashCostOption(parser, &costError);
    if (!costError.isEmpty())
        fail(costError);
    options.maxPendingHashes = int(number(parser, QStringLiteral("max-pending"), 100000));
    options.maxConnections = int(number(parser, QStringLiteral("max-connections"), 1000000));
    options.maxConnectionsPerAddress = int(number(parser, QStringLiteral("max-connections-per-address"), 1000000));
    options.idleTimeoutMs = int(number(parser, QStringLiteral("idle-timeout"), 86400)) * 1000;
    options.drainTimeoutMs = int(number(parser, QStringLiteral("drain-timeout"), 3600)) * 1000;
    options.databaseWaitMs = int(number(parser, QStringLiteral("database-wait"), 3600000));
    options.requestLimits.maxRequestLine = int(number(parser, QStringLiteral("max-request-line"), 1 << 24));
    options.requestLimits.maxHeaderBytes = int(number(parser, QStringLiteral("max-header-size"), 1 << 24));
    options.signInThrottle.freeFailures = int(number(parser, QStringLiteral("free-failed-sign-ins"), 1000000));
    options.signInThrottle.firstDelayMs = qint64(number(parser, QStringLiteral("sign-in-delay"), 60000));
    options.statementTimeoutMs = int(number(parser, QStringLiteral("statement-timeout"), 3600000));
    options.registrationsPerHour = int(number(parser, QStringLiteral("registrations-per-hour"), 3600000));
    options.ipv6PrefixLength = int(number(parser, QStringLiteral("ipv6-prefix"), 128));
    if (const QString admin = parser.value(QStringLiteral("admin-listen")); admin != QLatin1String("off")) {
        // address:port, an IPv6 address in brackets.
        const qsizetype colon = admin.lastIndexOf(u':');
        QString host = admin.left(colon);
        if (host.startsWith(u'[') && host.endsWith(u']'))
            host = host.mid(1, host.size() - 2);
        bool ok = false;
        options.admin = true;
        options.adminPort = admin.mid(colon + 1).toUShort(&ok);
        if (colon < 0 || !ok || !options.adminAddress.setAddress(host))
            fail(QStringLiteral("--admin-listen: expected address:port or off, not \"%1\"").arg(admin));
    }
    for (const QString &proxy : parser.values(QStringLiteral("trusted-proxy"))) {
        auto subnet = QHostAddress::parseSubnet(proxy.contains(u'/') ? proxy : proxy + (proxy.contains(u':') ? "/128" : "/32"));
        if (subnet.second < 0)
            fail(QStringLiteral("--trusted-proxy: \"%1\" is not an address or subnet").arg(proxy));
        options.trustedProxies << subnet;
    }
    const QString format = parser.value(QStringLiteral("log-format"));
    if (format != QLatin1String("text") && format != QLatin1String("json"))
        fail(QStringLiteral("--log-format: text or json, not \"%1\"").arg(format));
    options.logFormat = format == QLatin1String("json") ? LogFormat::Json : LogFormat::Text;
    options.tlsCertificate = parser.value(QStringLiteral("tls-cert"));
    options.tlsKey = parser.value(QStringLiteral("tls-key"));
    if (const QString error = optionsError(options); !error.isEmpty())
        fail(error);

    line.backupTarget = parser.value(QStringLiteral("backup"));
    line.exitAfterCreate = parser.isSet(QStringLiteral("exit-after-create"));
    return line;
}
