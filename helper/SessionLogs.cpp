#include "helper/SessionLogs.h"

#include "helper/Snapshot.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <zstd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <iterator>
#include <mutex>
#include <thread>
#include <functional>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaline::helper::SessionLogs {

namespace {

// However much history there is, one read looks at no more than this. Figures found
// only further back are stale anyway.
constexpr int maxFilesExamined = 64;
constexpr qint64 maxBytesExamined = qint64(256) << 20;
// Rate-limit lines are small; anything longer is a transcript line and is skipped
// without being kept in memory.
constexpr qsizetype maxLineLength = qsizetype(1) << 20;
constexpr qsizetype chunkSize = qsizetype(64) << 10;
// sessions/YYYY/MM/DD/rollout-*.jsonl
constexpr int maxDepth = 4;
constexpr unsigned maxThreads = 4;

struct LogFile {
    std::string path;
    double mtime = 0;
    bool compressed = false;
};

struct Found {
    RawBucket bucket;
    double time = 0;
};

// What one file holds: its newest default-bucket line, and the newest line of every
// other bucket written after that one.
struct FileFindings {
    std::optional<Found> defaultBucket;
    QHash<QString, Found> others;
    QStringList otherOrder;
};

bool endsWith(const char *name, size_t len, const char *suffix)
{
    const size_t n = std::strlen(suffix);
    return len >= n && std::memcmp(name + len - n, suffix, n) == 0;
}

// One folder: its session logs (stat'ed) and its subfolders.
void scanFolder(const std::string &path, int depth, std::vector<LogFile> &files,
                std::vector<std::string> &subdirs)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    DIR *dir = fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return;
    }
    std::vector<LogFile> here;
    QSet<QByteArray> plainNames;
    while (dirent *e = readdir(dir)) {
        const char *name = e->d_name;
        if (name[0] == '.')
            continue;
        const size_t len = std::strlen(name);
        const bool plain = endsWith(name, len, ".jsonl");
        const bool zst = endsWith(name, len, ".jsonl.zst");
        if ((plain || zst) && std::strncmp(name, "rollout-", 8) == 0) {
            struct stat st;
            if (fstatat(fd, name, &st, 0) != 0 || !S_ISREG(st.st_mode))
                continue;
            here.push_back({path + '/' + name,
                            double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) / 1e9, zst});
            if (plain)
                plainNames.insert(QByteArray(name, qsizetype(len)));
            continue;
        }
        if (depth < maxDepth && (e->d_type == DT_DIR || e->d_type == DT_UNKNOWN || e->d_type == DT_LNK))
            subdirs.push_back(path + '/' + name);
    }
    closedir(dir);
    // A plain log wins over a compressed copy of the same session.
    for (LogFile &f : here) {
        if (f.compressed) {
            const std::string base = f.path.substr(path.size() + 1, f.path.size() - path.size() - 5);
            if (plainNames.contains(QByteArray::fromStdString(base)))
                continue;
        }
        files.push_back(std::move(f));
    }
}

// Stat'ing thousands of logs is most of a read; the folders are shared out among a few
// threads so that the wait is divided by the cores there are.
std::vector<LogFile> collect(const std::string &root)
{
    struct Folder {
        std::string path;
        int depth;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Folder> queue{{root, 1}};
    int busy = 0;
    std::vector<LogFile> files;

    auto work = [&] {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return !queue.empty() || busy == 0; });
            if (queue.empty())
                return; // nothing queued and nobody left to queue more
            const Folder folder = std::move(queue.back());
            queue.pop_back();
            ++busy;
            lock.unlock();
            std::vector<LogFile> found;
            std::vector<std::string> subdirs;
            scanFolder(folder.path, folder.depth, found, subdirs);
            lock.lock();
            --busy;
            std::move(found.begin(), found.end(), std::back_inserter(files));
            for (std::string &sub : subdirs)
                queue.push_back({std::move(sub), folder.depth + 1});
            changed.notify_all();
        }
    };
    const unsigned helpers = std::clamp(std::thread::hardware_concurrency(), 1u, maxThreads) - 1;
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < helpers; ++i)
        threads.emplace_back(work);
    work();
    for (std::thread &t : threads)
        t.join();
    return files;
}

std::optional<double> number(const QJsonValue &v)
{
    if (!v.isDouble())
        return std::nullopt;
    const double d = v.toDouble();
    return std::isfinite(d) ? std::optional<double>(d) : std::nullopt;
}

std::optional<QString> text(const QJsonValue &v)
{
    return v.isString() ? std::optional<QString>(v.toString()) : std::nullopt;
}

std::optional<RawWindow> parseWindow(const QJsonValue &v, std::optional<double> lineTime)
{
    if (!v.isObject())
        return std::nullopt;
    const QJsonObject o = v.toObject();
    const auto used = number(o.value(QLatin1String("used_percent")));
    if (!used)
        return std::nullopt;
    RawWindow w;
    w.usedPercent = *used;
    if (const auto minutes = number(o.value(QLatin1String("window_minutes")));
        minutes && *minutes == std::trunc(*minutes) && std::abs(*minutes) < 1e15)
        w.windowMinutes = qint64(*minutes);
    if (const auto at = number(o.value(QLatin1String("resets_at"))))
        w.resetsAt = *at;
    else if (const auto in = number(o.value(QLatin1String("resets_in_seconds"))); in && lineTime)
        // Older logs count from the moment the line was written.
        w.resetsAt = *lineTime + *in;
    return w;
}

std::optional<double> parseTimestamp(const QJsonValue &v)
{
    if (!v.isString())
        return std::nullopt;
    const QDateTime t = QDateTime::fromString(v.toString(), Qt::ISODateWithMs);
    if (!t.isValid())
        return std::nullopt;
    return double(t.toMSecsSinceEpoch()) / 1000.0;
}

// Older CLIs logged used percentages and window lengths only, either flat
// ("primary_used_percent") or as windows without a reset time.
bool percentagesWithoutReset(const QJsonObject &limits, const RawBucket &parsed)
{
    for (const char *key : {"primary_used_percent", "secondary_used_percent"})
        if (number(limits.value(QLatin1String(key))))
            return true;
    for (const auto &w : {parsed.primary, parsed.secondary})
        if (w && !w->resetsAt)
            return true;
    return false;
}

// Lines are small enough to parse, but most are not rate-limit lines at all; a plain
// text test rules those out before any JSON is parsed.
bool mayHoldRateLimits(const char *data, qsizetype size)
{
    const QByteArrayView line(data, size);
    return line.contains("token_count") && line.contains("rate_limits");
}

// Reads a plain log from its end; `visit` gets each line, newest first, until it
// answers false or `limit` bytes have been read. Returns the bytes read.
qint64 scanBackwards(const std::string &path, qint64 limit,
                     const std::function<bool(QByteArrayView)> &visit)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        ::close(fd);
        return 0;
    }
    qint64 pos = st.st_size;
    qint64 bytes = 0;
    QByteArray chunk(chunkSize, Qt::Uninitialized);
    QByteArray tail; // the end part of a line whose start lies in an earlier chunk
    bool tailTooLong = false;
    bool stop = false;
    while (pos > 0 && !stop && bytes < limit) {
        const qint64 n = std::min<qint64>(chunkSize, pos);
        pos -= n;
        const ssize_t got = ::pread(fd, chunk.data(), size_t(n), off_t(pos));
        if (got != ssize_t(n))
            break;
        bytes += n;
        qsizetype end = qsizetype(n);
        while (!stop) {
            const void *nl = end > 0 ? memrchr(chunk.constData(), '\n', size_t(end)) : nullptr;
            if (!nl)
                break;
            const qsizetype at = static_cast<const char *>(nl) - chunk.constData();
            if (!tailTooLong) {
                if (tail.isEmpty()) {
                    stop = !visit(QByteArrayView(chunk.constData() + at + 1, end - at - 1));
                } else {
                    tail.prepend(chunk.constData() + at + 1, end - at - 1);
                    stop = !visit(tail);
                }
            }
            tail.clear();
            tailTooLong = false;
            end = at;
        }
        if (!stop && !tailTooLong) {
            if (tail.size() + end > maxLineLength) {
                tail.clear();
                tailTooLong = true;
            } else {
                tail.prepend(chunk.constData(), end);
            }
        }
    }
    if (!stop && pos == 0 && !tailTooLong && !tail.isEmpty())
        visit(tail);
    ::close(fd);
    return bytes;
}

// Compressed logs cannot be read from the end, so they are read through once.
qint64 scanForwardsCompressed(const std::string &path, qint64 limit,
                              const std::function<void(QByteArrayView)> &visit)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    ZSTD_DStream *stream = ZSTD_createDStream();
    ZSTD_initDStream(stream);
    QByteArray in(qsizetype(ZSTD_DStreamInSize()), Qt::Uninitialized);
    QByteArray out(qsizetype(ZSTD_DStreamOutSize()), Qt::Uninitialized);
    QByteArray line;
    bool lineTooLong = false;
    qint64 bytes = 0;
    bool failed = false;
    bool eof = false;
    while (!failed && bytes < limit) {
        const ssize_t got = ::read(fd, in.data(), size_t(in.size()));
        if (got == 0)
            eof = true;
        if (got <= 0)
            break;
        ZSTD_inBuffer input{in.constData(), size_t(got), 0};
        while (input.pos < input.size) {
            ZSTD_outBuffer output{out.data(), size_t(out.size()), 0};
            const size_t rc = ZSTD_decompressStream(stream, &output, &input);
            if (ZSTD_isError(rc)) {
                failed = true;
                break;
            }
            bytes += qint64(output.pos);
            const char *p = out.constData();
            const char *stop = p + output.pos;
            while (p < stop) {
                const char *nl = static_cast<const char *>(std::memchr(p, '\n', size_t(stop - p)));
                const char *e = nl ? nl : stop;
                if (!lineTooLong) {
                    if (line.size() + (e - p) > maxLineLength) {
                        line.clear();
                        lineTooLong = true;
                    } else {
                        line.append(p, e - p);
                    }
                }
                if (!nl)
                    break;
                if (!lineTooLong)
                    visit(line);
                line.clear();
                lineTooLong = false;
                p = nl + 1;
            }
        }
    }
    // A last line without its newline is still a line, unless the stream broke off.
    if (eof && !failed && !lineTooLong && !line.isEmpty())
        visit(line);
    ZSTD_freeDStream(stream);
    ::close(fd);
    return bytes;
}

} // namespace

QString codexHome()
{
    const QString env = qEnvironmentVariable("CODEX_HOME");
    if (!env.isEmpty())
        return env;
    return QDir::homePath() + QStringLiteral("/.codex");
}

std::optional<RawBucket> parseLine(const QByteArray &line, double *time, bool *percentagesOnly)
{
    if (!mayHoldRateLimits(line.constData(), line.size()))
        return std::nullopt;
    const QJsonDocument doc = QJsonDocument::fromJson(line);
    if (!doc.isObject())
        return std::nullopt;
    const QJsonObject o = doc.object();
    if (o.value(QLatin1String("type")).toString() != QLatin1String("event_msg"))
        return std::nullopt;
    const QJsonObject payload = o.value(QLatin1String("payload")).toObject();
    if (payload.value(QLatin1String("type")).toString() != QLatin1String("token_count"))
        return std::nullopt;
    const QJsonValue limits = payload.value(QLatin1String("rate_limits"));
    if (!limits.isObject())
        return std::nullopt;
    const QJsonObject r = limits.toObject();
    const std::optional<double> lineTime = parseTimestamp(o.value(QLatin1String("timestamp")));

    RawBucket b;
    const auto id = text(r.value(QLatin1String("limit_id")));
    b.limitId = id && !id->isEmpty() ? *id : defaultLimitId;
    b.isDefault = b.limitId == defaultLimitId;
    b.limitName = text(r.value(QLatin1String("limit_name")));
    b.primary = parseWindow(r.value(QLatin1String("primary")), lineTime);
    b.secondary = parseWindow(r.value(QLatin1String("secondary")), lineTime);
    b.planType = text(r.value(QLatin1String("plan_type")));
    b.rateLimitReachedType = text(r.value(QLatin1String("rate_limit_reached_type")));
    if (const QJsonValue spend = r.value(QLatin1String("spend_control_reached")); spend.isBool())
        b.spendControlReached = spend.toBool();
    if (!Snapshot::hasShowableWindow(b)) {
        if (percentagesOnly)
            *percentagesOnly = *percentagesOnly || percentagesWithoutReset(r, b);
        return std::nullopt;
    }
    if (time && lineTime)
        *time = *lineTime;
    return b;
}

Result read(const QString &home)
{
    Result result;
    const QByteArray sessions = QFile::encodeName(home + QStringLiteral("/sessions"));
    struct stat st;
    if (::stat(sessions.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return result;
    result.homeFound = true;
    std::vector<LogFile> files = collect(sessions.toStdString());
    result.logFiles = int(files.size());
    // Resumed sessions append to their first file, wherever its date folder is, so only
    // the modification time tells which log was written last.
    std::sort(files.begin(), files.end(), [](const LogFile &a, const LogFile &b) {
        return a.mtime != b.mtime ? a.mtime > b.mtime : a.path > b.path;
    });

    std::optional<Found> best;
    QHash<QString, Found> others;
    QStringList otherOrder;
    qint64 budget = maxBytesExamined;
    int examined = 0;
    for (const LogFile &file : files) {
        // Once default figures are in hand, a file last written before them cannot
        // hold anything newer.
        if (best && file.mtime < best->time)
            break;
        if (examined == maxFilesExamined || budget <= 0)
            break;
        ++examined;

        FileFindings found;
        auto usable = [&file, &result](QByteArrayView view, Found *out) {
            if (!mayHoldRateLimits(view.data(), view.size()))
                return false;
            double time = file.mtime;
            auto bucket = parseLine(view.toByteArray(), &time, &result.percentagesWithoutReset);
            if (!bucket)
                return false;
            *out = {std::move(*bucket), time};
            return true;
        };
        if (file.compressed) {
            budget -= scanForwardsCompressed(file.path, budget, [&](QByteArrayView line) {
                Found f;
                if (!usable(line, &f))
                    return;
                if (f.bucket.isDefault) {
                    found.defaultBucket = std::move(f);
                    found.others.clear();
                    found.otherOrder.clear();
                } else {
                    if (!found.others.contains(f.bucket.limitId))
                        found.otherOrder.append(f.bucket.limitId);
                    found.others.insert(f.bucket.limitId, std::move(f));
                }
            });
        } else {
            budget -= scanBackwards(file.path, budget, [&](QByteArrayView line) {
                Found f;
                if (!usable(line, &f))
                    return true;
                if (f.bucket.isDefault) {
                    found.defaultBucket = std::move(f);
                    return false;
                }
                if (!found.others.contains(f.bucket.limitId)) {
                    found.otherOrder.append(f.bucket.limitId);
                    found.others.insert(f.bucket.limitId, std::move(f));
                }
                return true;
            });
        }

        if (found.defaultBucket && (!best || found.defaultBucket->time > best->time))
            best = std::move(found.defaultBucket);
        for (const QString &id : std::as_const(found.otherOrder)) {
            const Found &f = found.others[id];
            const auto it = others.constFind(id);
            if (it == others.cend()) {
                otherOrder.append(id);
                others.insert(id, f);
            } else if (f.time > it->time) {
                others.insert(id, f);
            }
        }
    }

    if (best)
        result.buckets.append(best->bucket);
    for (const QString &id : std::as_const(otherOrder))
        result.buckets.append(others[id].bucket);
    return result;
}

} // namespace tessaline::helper::SessionLogs
