// The anchors of the client's start-up: Qt alone in a program of its own,
// showing either the client's form built by setupUi on a bare QMainWindow
// ("form": no settings, no network, nothing of the client behind it) or an
// empty 800x600 QMainWindow ("bare"). Run by velka-bench-startup.
#include "startup_child.h"
#include "ui_vla_mw.h"

#include <QMainWindow>

#include <cstring>

int main(int argc, char *argv[])
{
    const bool form = argc > 1 && std::strcmp(argv[1], "form") == 0;
    QApplication app(argc, argv);
    QMainWindow window;
    Ui::VLA_MW ui;
    if (form)
        ui.setupUi(&window);
    else
        window.resize(800, 600);
    window.show();
    return runToIdle(app, window);
}
