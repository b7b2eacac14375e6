#include "app/vla_mw.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    VLA_MW window;
    window.show();
    return app.exec();
}
