// A bare QHttpServer with one route and nothing else: the yardstick the live
// server's cheapest route is measured against in the same bench run.
#include <QCoreApplication>
#include <QHttpServer>
#include <QHttpServerResponse>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QHttpServer server;
    // Same answer as the live server's cheapest route: a 404 with an empty body.
    server.route(QStringLiteral("/VELKA/be/none.php"),
                 [] { return QHttpServerResponse(QHttpServerResponder::StatusCode::NotFound); });
    const quint16 port = server.listen(QHostAddress::LocalHost, argc > 1 ? quint16(atoi(argv[1])) : 0);
    if (port == 0)
        return 1;
    std::printf("http://127.0.0.1:%u/VELKA/be/\n", unsigned(port));
    std::fflush(stdout);
    return app.exec();
}
