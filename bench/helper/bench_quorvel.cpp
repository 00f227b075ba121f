// How fast quorvel answers from a long Codex history.
//
// Generates (once) a Codex home of 5,000 session logs, several hundred MiB, with a
// resumed session in an old date folder and compressed old logs, then measures:
//   - the log read quorvel does, in process;
//   - the whole `quorvel --json` run, with no Codex CLI on PATH;
//   - a straightforward full scan of every log, for comparison.
// Usage: bench_quorvel [codex-home-dir]   (default: <build>/bench-codex-home)

#include "helper/SessionLogs.h"
#include "helper/Snapshot.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTextStream>

#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>
#include <vector>

#include <sys/resource.h>

using namespace tessaline::helper;

namespace {

constexpr int fileCount = 5000;
constexpr int compressedCount = 500;   // the oldest logs
constexpr int olderGeneration = 1500;  // logs written with resets_in_seconds
constexpr int resumedIndex = 700;      // an old session resumed a minute ago
const QByteArray marker = "complete-v1";

QString iso(double t)
{
    return QDateTime::fromMSecsSinceEpoch(qint64(t * 1000), Qt::UTC).toString(Qt::ISODateWithMs);
}

QByteArray rateLine(double t, double used5h, double usedWeek, bool older, bool nullLimits)
{
    QJsonObject limits;
    auto window = [&](double used, int minutes, double resetsIn) {
        QJsonObject w{{"used_percent", used}, {"window_minutes", minutes}};
        if (older)
            w.insert("resets_in_seconds", resetsIn);
        else
            w.insert("resets_at", std::floor(t + resetsIn));
        return w;
    };
    limits.insert("primary", window(used5h, 300, 4 * 3600));
    limits.insert("secondary", window(usedWeek, 10080, 5 * 86400));
    limits.insert("plan_type", "plus");
    QJsonObject payload{{"type", "token_count"},
                        {"info", QJsonObject{{"total_token_usage", QJsonObject{{"input_tokens", 91234}, {"output_tokens", 4321}}}}},
                        {"rate_limits", nullLimits ? QJsonValue() : QJsonValue(limits)}};
    return QJsonDocument(QJsonObject{{"timestamp", iso(t)}, {"type", "event_msg"}, {"payload", payload}})
        .toJson(QJsonDocument::Compact);
}

QByteArray chatLine(double t, const QByteArray &text)
{
    return "{\"timestamp\":\"" + iso(t).toUtf8() + "\",\"type\":\"response_item\",\"payload\":{\"type\":\"message\","
           "\"role\":\"assistant\",\"content\":[{\"type\":\"output_text\",\"text\":\"" + text + "\"}]}}";
}

void setMtime(const QString &path, double t)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite) || !f.setFileTime(QDateTime::fromMSecsSinceEpoch(qint64(t * 1000), Qt::UTC),
                                                         QFileDevice::FileModificationTime))
        qFatal("cannot set the time of %s", qPrintable(path));
}

void writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size())
        qFatal("cannot write %s", qPrintable(path));
}

// Returns the bytes written.
qint64 generate(const QString &home, double now)
{
    std::mt19937 rng(7);
    QByteArray pool(1 << 16, Qt::Uninitialized);
    const char letters[] = "abcdefghijklmnopqrstuvwxyz      ,.";
    for (char &c : pool)
        c = letters[rng() % (sizeof letters - 1)];

    qint64 total = 0;
    const double span = 500.0 * 86400;
    const double first = now - span - 3600;
    for (int i = 0; i < fileCount; ++i) {
        const double start = first + span * i / fileCount;
        const QDateTime day = QDateTime::fromMSecsSinceEpoch(qint64(start * 1000), Qt::UTC);
        const QString dir = home + "/sessions/" + day.toString("yyyy/MM/dd");
        QDir().mkpath(dir);
        const QString name = dir + "/rollout-" + day.toString("yyyy-MM-ddTHH-mm-ss") + QString("-%1.jsonl").arg(i, 5, 10, QChar('0'));
        const bool older = i < olderGeneration;
        const bool apiKey = i % 7 == 3; // sessions with no plan quota carry null limits

        QByteArray data = "{\"timestamp\":\"" + iso(start).toUtf8() + "\",\"type\":\"session_meta\",\"payload\":{\"id\":\"" +
                          QByteArray::number(i) + "\",\"cwd\":\"/home/user/project\"}}\n";
        const int lines = 5 + int(rng() % 36);
        double t = start;
        for (int l = 0; l < lines; ++l) {
            t += 20 + rng() % 120;
            const int len = 200 + int(rng() % 7800);
            const int at = int(rng() % (pool.size() - len));
            data += chatLine(t, pool.mid(at, len)) + '\n';
            if (l % 4 == 3)
                data += rateLine(t, (l * 3) % 100, 20 + i % 60, older, apiKey) + '\n';
        }
        if (i == resumedIndex) {
            // Resumed a minute ago: the newest figures of all, in a folder 500 days old.
            data += rateLine(now - 60, 37, 58, false, false) + '\n';
            t = now - 60;
        }
        if (i < compressedCount) {
            QByteArray packed(qsizetype(ZSTD_compressBound(size_t(data.size()))), Qt::Uninitialized);
            packed.resize(qsizetype(ZSTD_compress(packed.data(), size_t(packed.size()), data.constData(), size_t(data.size()), 1)));
            writeFile(name + ".zst", packed);
            setMtime(name + ".zst", t);
        } else {
            writeFile(name, data);
            setMtime(name, t);
        }
        total += data.size();
    }
    return total;
}

// The obvious way: read every line of every log and keep the newest figures.
std::optional<RawBucket> fullScan(const QString &home)
{
    std::optional<RawBucket> best;
    double bestTime = -1;
    auto lines = [&](const QByteArray &data) {
        for (qsizetype from = 0; from < data.size();) {
            qsizetype nl = data.indexOf('\n', from);
            if (nl < 0)
                nl = data.size();
            double t = 0;
            if (auto b = SessionLogs::parseLine(data.mid(from, nl - from), &t); b && b->isDefault && t >= bestTime) {
                best = b;
                bestTime = t;
            }
            from = nl + 1;
        }
    };
    std::function<void(const QString &)> walk = [&](const QString &dir) {
        for (const QFileInfo &fi : QDir(dir).entryInfoList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot)) {
            if (fi.isDir()) {
                walk(fi.filePath());
                continue;
            }
            QFile f(fi.filePath());
            if (!f.open(QIODevice::ReadOnly))
                continue;
            QByteArray data = f.readAll();
            if (fi.fileName().endsWith(".zst")) {
                QByteArray plain(qsizetype(ZSTD_getFrameContentSize(data.constData(), size_t(data.size()))), Qt::Uninitialized);
                plain.resize(qsizetype(ZSTD_decompress(plain.data(), size_t(plain.size()), data.constData(), size_t(data.size()))));
                data = plain;
            }
            lines(data);
        }
    };
    walk(home + "/sessions");
    return best;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double cpuMs(int who)
{
    rusage u;
    getrusage(who, &u);
    return (double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// Wall-clock and CPU milliseconds of each run. On a shared machine the wall clock also
// counts time spent waiting for a core; the CPU time does not.
template <typename F>
std::pair<std::vector<double>, std::vector<double>> times(int runs, int who, F f)
{
    std::vector<double> wall, cpu;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        const double before = cpuMs(who);
        timer.start();
        f();
        wall.push_back(double(timer.nsecsElapsed()) / 1e6);
        cpu.push_back(cpuMs(who) - before);
    }
    return {wall, cpu};
}

QString line(const char *what, const std::pair<std::vector<double>, std::vector<double>> &t)
{
    const auto &[wall, cpu] = t;
    return QString("%1 median %2 ms wall (min %3, max %4), %5 ms CPU, %6 runs\n")
        .arg(QLatin1String(what), -30)
        .arg(median(wall), 0, 'f', 2)
        .arg(*std::min_element(wall.begin(), wall.end()), 0, 'f', 2)
        .arg(*std::max_element(wall.begin(), wall.end()), 0, 'f', 2)
        .arg(median(cpu), 0, 'f', 2)
        .arg(wall.size());
}

} // namespace

int main(int argc, char **argv)
{
    const QString home = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(TESSALINE_BUILD_DIR "/bench-codex-home");
    QTextStream out(stdout);
    const double now = double(QDateTime::currentSecsSinceEpoch());

    QFile mark(home + "/.generated");
    if (!mark.open(QIODevice::ReadOnly) || mark.readAll() != marker) {
        QDir(home).removeRecursively();
        QDir().mkpath(home);
        QElapsedTimer t;
        t.start();
        const qint64 bytes = generate(home, now);
        writeFile(home + "/.generated", marker);
        out << "generated " << fileCount << " logs, " << bytes / (1 << 20) << " MiB uncompressed, in "
            << t.elapsed() / 1000.0 << " s\n";
    } else {
        out << "reusing " << home << " (the resumed session's figures are as old as the home)\n";
    }
    out.flush();

    // Warm-up, and the answer both readers must agree on.
    const SessionLogs::Result quick = SessionLogs::read(home);
    const auto slow = fullScan(home);
    if (quick.buckets.isEmpty() || !slow || quick.buckets.first().primary->usedPercent != slow->primary->usedPercent
        || quick.buckets.first().primary->resetsAt != slow->primary->resetsAt) {
        out << "the quick read and the full scan disagree\n";
        return 1;
    }

    const auto inProcess = times(101, RUSAGE_SELF, [&] { SessionLogs::read(home); });
    const auto process = times(51, RUSAGE_CHILDREN, [&] {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("CODEX_HOME", home);
        env.insert("PATH", "/nonexistent");
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(QUORVEL_PATH), {"--json"});
        if (!p.waitForFinished(60000) || p.exitCode() != 0)
            qFatal("quorvel failed: %s", p.readAllStandardError().constData());
    });
    const auto scan = times(3, RUSAGE_SELF, [&] { fullScan(home); });

    QFile loadavg("/proc/loadavg");
    loadavg.open(QIODevice::ReadOnly);
    out << "logs found: " << quick.logFiles << "; load average: " << loadavg.readAll().split(' ').mid(0, 3).join(' ') << "\n";
    out << line("log read, in process:", inProcess);
    out << line("quorvel --json, whole run:", process);
    out << line("full scan of every log:", scan);
    const bool within = median(process.first) < 20.0;
    out << (within ? "within" : "OVER") << " the 20 ms budget\n";
    return within ? 0 : 1;
}
