// Start-up of the client to an idle event loop, against the same form shown
// by Qt alone and against a bare 800x600 QMainWindow, both in a program of
// their own (velka-bench-anchor): wall time and peak memory, each the median
// of many runs in child processes, interleaved. POSIX: bench only.
#include "app/vla_mw.h"
#include "startup_child.h"

#include <QTemporaryDir>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

struct Run
{
    double wallMs = 0;
    double cpuMs = 0; // user and system: what a busy machine moves least
    long peakKiB = 0;
};

bool spawnOnce(const std::string &program, const char *mode, Run *run)
{
    int out[2];
    if (pipe(out) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char *args[] = {const_cast<char *>(program.c_str()), const_cast<char *>(mode), nullptr};
    const double start = monotonicMs();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, args, environ);
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
    run->cpuMs = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    run->peakKiB = usage.ru_maxrss;
    return true;
}

template <typename T>
T median(std::vector<T> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Mode
{
    const char *name;
    std::string program;
    std::vector<double> wall, cpu;
    std::vector<long> rss;
};

} // namespace

int main(int argc, char *argv[])
{
    // The client exactly as app/main.cpp starts it.
    if (argc > 1 && std::strcmp(argv[1], "client") == 0) {
        QApplication app(argc, argv);
        VLA_MW window;
        window.show();
        return runToIdle(app, window);
    }

    const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 41;
    // A home of its own: the client writes its settings there, never in the real one.
    QTemporaryDir home;
    setenv("HOME", qPrintable(home.path()), 1);
    setenv("XDG_RUNTIME_DIR", qPrintable(home.path()), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);

    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return 1;
    const std::string dir(self, std::strrchr(self, '/') + 1);
    Mode modes[] = {{"client", self, {}, {}, {}}, {"form", dir + "velka-bench-anchor", {}, {}, {}},
                    {"bare", dir + "velka-bench-anchor", {}, {}, {}}};
    Run run;
    // One of each first: caches warm, the settings file written.
    for (Mode &mode : modes) {
        if (!spawnOnce(mode.program, mode.name, &run))
            return 1;
    }
    for (int i = 0; i < runs; ++i) {
        for (Mode &mode : modes) {
            if (!spawnOnce(mode.program, mode.name, &run))
                return 1;
            mode.wall.push_back(run.wallMs);
            mode.cpu.push_back(run.cpuMs);
            mode.rss.push_back(run.peakKiB);
        }
    }
    std::printf("startup runs=%d", runs);
    for (const Mode &mode : modes)
        std::printf(" %s_ms=%.1f %s_cpu_ms=%.1f %s_kib=%ld", mode.name, median(mode.wall), mode.name, median(mode.cpu),
                    mode.name, median(mode.rss));
    const Mode &client = modes[0];
    for (const Mode &anchor : {modes[1], modes[2]}) {
        std::printf(" wall_ratio_%s=%.3f rss_ratio_%s=%.3f", anchor.name, median(client.wall) / median(anchor.wall),
                    anchor.name, double(median(client.rss)) / double(median(anchor.rss)));
    }
    std::printf("\n");
    return 0;
}
