#pragma once

// What every start-up child does once its window is shown: report the moment
// its event loop first goes idle, then leave at once.
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QEvent>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

#include <time.h>

inline double monotonicMs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// Counts the paint events of the window it watches.
class PaintCounter : public QObject
{
public:
    int paints = 0;
    bool eventFilter(QObject *, QEvent *event) override
    {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};

// The loop's first wait comes before the window is even exposed; the first
// wait after its first paint has everything the start asked for done: show,
// expose, the paint of every child.
inline int runToIdle(QApplication &app, QWidget &window)
{
    static PaintCounter counter;
    window.installEventFilter(&counter);
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, &app, [] {
        if (counter.paints == 0)
            return;
        std::printf("%.3f\n", monotonicMs());
        std::fflush(stdout);
        std::_Exit(0); // the start is measured, not the way out
    });
    return app.exec();
}
