// The client's own start-up, with every message box printed and answered.
// VELKA_PROBE_CLOSE=1 closes the main window as soon as the progress window shows.
// VELKA_PROBE_CA_CERT=<pem> trusts that certificate too, in this process only.
#include "app/vla_mw.h"
#include "boxcloser.h"

#include <QApplication>
#include <QProgressBar>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    BoxCloser closer;
    QObject::connect(&closer, &BoxCloser::boxSeen, [](const QString &title, const QString &text) {
        QTextStream out(stdout);
        out << "BOX\t" << title << '\t' << text << '\n';
        out.flush();
    });
    const QString extraCa = qEnvironmentVariable("VELKA_PROBE_CA_CERT");
    if (!extraCa.isEmpty()) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificates(QSslCertificate::fromPath(extraCa));
        QSslConfiguration::setDefaultConfiguration(tls);
    }
    VLA_MW window;
    window.show();

    QTimer closeWhenBusy;
    if (qEnvironmentVariableIntValue("VELKA_PROBE_CLOSE") == 1) {
        QObject::connect(&closeWhenBusy, &QTimer::timeout, &window, [&] {
            for (QWidget *w : QApplication::topLevelWidgets()) {
                if (qobject_cast<QProgressBar *>(w) && w->isVisible()) {
                    closeWhenBusy.stop();
                    window.close();
                }
            }
        });
        closeWhenBusy.start(5);
    }
    return app.exec();
}
