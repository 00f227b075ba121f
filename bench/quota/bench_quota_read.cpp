// One complete QuotaReader::read (discover, spawn, drain both pipes, decode, deliver on
// the event loop) against spawning the same helper bare with posix_spawn and waiting.
// The two are interleaved so that drift on a shared machine hits both alike.
#include "quota/QuotaReader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

using namespace tessaline;

namespace {

const char *const helperPath = TESSALINE_FIXTURES "/helpers/helper.sh";

double bareRunMs()
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char arg0[] = "quorvel";
    char arg1[] = "--json";
    char *argv[] = {arg0, arg1, nullptr};

    QElapsedTimer timer;
    timer.start();
    pid_t pid = 0;
    if (posix_spawn(&pid, helperPath, &actions, nullptr, argv, environ) != 0) {
        std::perror("posix_spawn");
        std::exit(1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "the helper failed on its own\n");
        std::exit(1);
    }
    return ms;
}

double readMs()
{
    QEventLoop loop;
    bool ok = false;
    QElapsedTimer timer;
    timer.start();
    QuotaReader::read([&](std::optional<Usage> usage, std::optional<QString> message) {
        ok = usage.has_value();
        if (message)
            std::fprintf(stderr, "%s\n", qPrintable(*message));
        loop.quit();
    });
    loop.exec();
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    if (!ok)
        std::exit(1);
    return ms;
}

struct Figures {
    double median;
    double p10;
    double p90;
};

Figures figures(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) { return samples[size_t(q * double(samples.size() - 1))]; };
    return {at(0.5), at(0.1), at(0.9)};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(10, std::atoi(argv[1])) : 300;
    qputenv("QUORVEL_EXECUTABLE", helperPath);
    qputenv("FIXTURE_MODE", "snapshot");

    QFile snapshotFile(QStringLiteral(TESSALINE_FIXTURES "/helpers/snapshot.json"));
    if (!snapshotFile.open(QIODevice::ReadOnly))
        return 1;
    const QByteArray snapshot = snapshotFile.readAll();

    // Warm the page cache and the dynamic loader on both paths first.
    for (int i = 0; i < 10; ++i) {
        bareRunMs();
        readMs();
    }

    std::vector<double> bare, read, decode;
    for (int i = 0; i < runs; ++i) {
        bare.push_back(bareRunMs());
        read.push_back(readMs());
    }
    for (int i = 0; i < 2000; ++i) {
        QElapsedTimer timer;
        timer.start();
        if (!Usage::decode(snapshot))
            return 1;
        decode.push_back(double(timer.nsecsElapsed()) / 1e6);
    }

    const Figures b = figures(bare), r = figures(read), d = figures(decode);
    std::printf("runs: %d each, interleaved\n", runs);
    std::printf("bare posix_spawn + wait   median %7.3f ms  p10 %7.3f  p90 %7.3f\n", b.median, b.p10, b.p90);
    std::printf("QuotaReader::read         median %7.3f ms  p10 %7.3f  p90 %7.3f\n", r.median, r.p10, r.p90);
    std::printf("Usage::decode (snapshot)  median %7.3f ms\n", d.median);
    std::printf("added by the read at the median: %.3f ms (budget 5 ms)\n", r.median - b.median);
    return r.median - b.median <= 5.0 ? 0 : 2;
}
