// The client's own start-up, with every message box printed and answered.
// VELKA_PROBE_CLOSE=1 closes the main window as soon as the progress window shows.
#include "app/vla_mw.h"
#include "boxcloser.h"

#include <QApplication>
#include <QProgressBar>
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
