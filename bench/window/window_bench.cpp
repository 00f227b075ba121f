// Runs the main-window program and the bare-window program alternately, N times each,
// and compares the time from process start to "ready" and the peak resident memory.
//   bench_window [N]   (run under an X server; bench/window/run starts one)

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <cstdio>

namespace {

struct Sample {
    double milliseconds = 0;
    long peakKiB = 0;
};

bool runOnce(const QString &program, Sample &sample)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer clock;
    clock.start();
    process.start(program, {});
    QByteArray out;
    while (!out.contains('\n')) {
        if (!process.waitForReadyRead(20000))
            return false;
        out += process.readAllStandardOutput();
    }
    sample.milliseconds = double(clock.nsecsElapsed()) / 1e6;
    process.waitForFinished(20000);
    const QList<QByteArray> words = out.trimmed().split(' ');
    if (words.size() != 2 || words.at(0) != "ready")
        return false;
    sample.peakKiB = words.at(1).toLong();
    return true;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 21;
    const QString dir = QCoreApplication::applicationDirPath();
    const QString programs[] = {dir + QStringLiteral("/bench_window_start"), dir + QStringLiteral("/bench_bare_window")};
    QList<double> times[2];
    long peak[2] = {0, 0};
    // One unmeasured start each warms the file cache and the font cache.
    for (int i = -1; i < runs; ++i)
        for (int p = 0; p < 2; ++p) {
            Sample s;
            if (!runOnce(programs[p], s)) {
                std::fprintf(stderr, "bench_window: %s did not report ready\n", qPrintable(programs[p]));
                return 1;
            }
            if (i < 0)
                continue;
            times[p].append(s.milliseconds);
            peak[p] = std::max(peak[p], s.peakKiB);
        }
    const double t0 = median(times[0]), t1 = median(times[1]);
    std::printf("runs: %d each, alternating\n", runs);
    std::printf("%-28s %10s %14s\n", "", "median ms", "peak RSS KiB");
    std::printf("%-28s %10.1f %14ld\n", "main window, quota shown", t0, peak[0]);
    std::printf("%-28s %10.1f %14ld\n", "bare Qt window", t1, peak[1]);
    std::printf("%-28s %10.2fx %13.2fx\n", "ratio (budget 1.5x)", t0 / t1, double(peak[0]) / double(peak[1]));
    return 0;
}
