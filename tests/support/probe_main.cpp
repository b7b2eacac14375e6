// The client as shipped, with every message box printed and answered.
// VELKA_PROBE_CA_CERT=<pem> trusts that certificate too, in this process only.
#include "app/vla_mw.h"
#include "clienthelpers.h"

#include <QSslCertificate>
#include <QSslConfiguration>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    BoxCloser closer;
    closer.whileOpen = [&closer] {
        QTextStream(stdout) << "BOX\t" << closer.lines().last().section(u'\t', 1, -1) << Qt::endl; // without the icon
    };
    if (qEnvironmentVariableIsSet("VELKA_PROBE_CA_CERT")) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificates(QSslCertificate::fromPath(qEnvironmentVariable("VELKA_PROBE_CA_CERT")));
        QSslConfiguration::setDefaultConfiguration(tls);
    }
    VLA_MW window;
    window.show();
    return app.exec();
}
