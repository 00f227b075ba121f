// Runs the main-window program and the two baselines (a bare window; the bare window with
// one label) in turn, N times each, and compares the time from process start to "ready",
// the time until the program has closed its window and exited, and the peak resident
// memory.
//   bench_window [N]   (run under an X server; bench/window/run starts one)

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <cstdio>

namespace {

struct Sample {
    double milliseconds = 0; // to "ready"
    double exitMilliseconds = 0; // to the process's exit, window closed
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
    // waitForFinished() is false for a process already seen to exit while reading.
    if (process.state() != QProcess::NotRunning && !process.waitForFinished(20000))
        return false;
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return false;
    sample.exitMilliseconds = double(clock.nsecsElapsed()) / 1e6;
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
    constexpr int count = 3;
    const QString programs[count] = {dir + QStringLiteral("/bench_window_start"),
                                     dir + QStringLiteral("/bench_bare_window"),
                                     dir + QStringLiteral("/bench_label_window")};
    const char *names[count] = {"main window, quota shown", "bare Qt window", "bare window with one label"};
    QList<double> times[count];
    QList<double> exits[count];
    long peak[count] = {0, 0, 0};
    // One unmeasured start each warms the file cache and the font cache.
    for (int i = -1; i < runs; ++i)
        for (int p = 0; p < count; ++p) {
            Sample s;
            if (!runOnce(programs[p], s)) {
                std::fprintf(stderr, "bench_window: %s did not report ready\n", qPrintable(programs[p]));
                return 1;
            }
            if (i < 0)
                continue;
            times[p].append(s.milliseconds);
            exits[p].append(s.exitMilliseconds);
            peak[p] = std::max(peak[p], s.peakKiB);
        }
    std::printf("runs: %d each, in turn\n", runs);
    std::printf("%-34s %10s %10s %14s\n", "", "ready ms", "exited ms", "peak RSS KiB");
    for (int p = 0; p < count; ++p)
        std::printf("%-34s %10.1f %10.1f %14ld\n", names[p], median(times[p]), median(exits[p]), peak[p]);
    // The budget's baseline is a bare window shown and closed; the stricter comparison
    // stops the bare window's clock as soon as it is painted.
    std::printf("%-34s %9.2fx %25.2fx\n", "main ready / bare shown and closed", median(times[0]) / median(exits[1]),
                double(peak[0]) / double(peak[1]));
    std::printf("%-34s %9.2fx\n", "main ready / bare ready", median(times[0]) / median(times[1]));
    std::printf("%-34s %9.2fx %25.2fx\n", "main ready / label ready", median(times[0]) / median(times[2]),
                double(peak[0]) / double(peak[2]));
    return 0;
}
