// Start-up of the client to an idle event loop, against a bare 800x600
// QMainWindow built here the same way: wall time and peak memory, each the
// median of many runs in child processes, interleaved. POSIX: bench only.
#include "app/vla_mw.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QMainWindow>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace {

double monotonicMs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// In the child: the first time the loop is about to wait, everything the
// start posted (show, expose, first paint) has been handled.
int child(int argc, char *argv[], bool client)
{
    QApplication app(argc, argv);
    std::unique_ptr<QMainWindow> window;
    if (client) {
        window = std::make_unique<VLA_MW>();
    } else {
        window = std::make_unique<QMainWindow>();
        window->resize(800, 600);
    }
    window->show();
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, &app, [] {
        std::printf("%.3f\n", monotonicMs());
        std::fflush(stdout);
        std::_Exit(0); // the start is measured, not the way out
    });
    return app.exec();
}

struct Run
{
    double wallMs = 0;
    long peakKiB = 0;
};

bool spawnOnce(const char *self, const char *mode, Run *run)
{
    int out[2];
    if (pipe(out) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char *args[] = {const_cast<char *>(self), const_cast<char *>(mode), nullptr};
    const double start = monotonicMs();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, self, &actions, nullptr, args, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        return false;
    }
    char text[64] = {};
    ssize_t got = 0;
    for (ssize_t n; got < ssize_t(sizeof text) - 1 && (n = read(out[0], text + got, sizeof text - 1 - got)) > 0;)
        got += n;
    close(out[0]);
    int status = 0;
    rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || got == 0)
        return false;
    run->wallMs = std::atof(text) - start;
    run->peakKiB = usage.ru_maxrss;
    return true;
}

template <typename T>
T median(std::vector<T> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 1 && std::strcmp(argv[1], "bare") == 0)
        return child(argc, argv, false);
    if (argc > 1 && std::strcmp(argv[1], "client") == 0)
        return child(argc, argv, true);

    const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 41;
    // A home of its own: the client writes its settings there, never in the real one.
    QTemporaryDir home;
    setenv("HOME", qPrintable(home.path()), 1);
    setenv("XDG_RUNTIME_DIR", qPrintable(home.path()), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);

    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return 1;
    std::vector<double> bareWall, clientWall;
    std::vector<long> bareRss, clientRss;
    Run run;
    // One of each first: caches warm, the settings file written.
    if (!spawnOnce(self, "bare", &run) || !spawnOnce(self, "client", &run))
        return 1;
    for (int i = 0; i < runs; ++i) {
        for (const char *mode : {"bare", "client"}) {
            if (!spawnOnce(self, mode, &run))
                return 1;
            const bool client = mode[0] == 'c';
            (client ? clientWall : bareWall).push_back(run.wallMs);
            (client ? clientRss : bareRss).push_back(run.peakKiB);
        }
    }
    const double wallRatio = median(clientWall) / median(bareWall);
    const double rssRatio = double(median(clientRss)) / double(median(bareRss));
    std::printf("startup runs=%d bare_ms=%.1f client_ms=%.1f wall_ratio=%.3f bare_kib=%ld client_kib=%ld "
                "rss_ratio=%.3f\n",
                runs, median(bareWall), median(clientWall), wallRatio, median(bareRss), median(clientRss),
                rssRatio);
    return 0;
}
