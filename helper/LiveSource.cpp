#include "helper/LiveSource.h"

#include "helper/Snapshot.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>

#include <QThread>

#include <atomic>
#include <cerrno>
#include <cmath>

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <unistd.h>

namespace tessaline::helper::LiveSource {

namespace {

constexpr int initializeId = 0;
constexpr int readId = 1;
// No answer line is anywhere near this long; a peer that sends one is not app-server.
constexpr qsizetype maxLineLength = qsizetype(16) << 20;

Result failed(const QString &reason)
{
    return {Status::Failed, {}, reason};
}

QByteArray line(const QJsonObject &message)
{
    return QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n';
}

std::optional<qint64> integer(const QJsonValue &v)
{
    if (!v.isDouble())
        return std::nullopt;
    const double d = v.toDouble();
    if (!std::isfinite(d) || d != std::trunc(d) || std::abs(d) >= 1e15)
        return std::nullopt;
    return qint64(d);
}

std::optional<QString> text(const QJsonValue &v)
{
    return v.isString() ? std::optional<QString>(v.toString()) : std::nullopt;
}

std::optional<RawWindow> window(const QJsonValue &v)
{
    if (!v.isObject())
        return std::nullopt;
    const QJsonObject o = v.toObject();
    const QJsonValue used = o.value(QLatin1String("usedPercent"));
    if (!used.isDouble())
        return std::nullopt;
    RawWindow w;
    w.usedPercent = used.toDouble();
    w.windowMinutes = integer(o.value(QLatin1String("windowDurationMins")));
    const QJsonValue at = o.value(QLatin1String("resetsAt"));
    if (at.isDouble())
        w.resetsAt = at.toDouble();
    return w;
}

std::optional<RawBucket> bucket(const QJsonValue &v, bool isDefault)
{
    if (!v.isObject())
        return std::nullopt;
    const QJsonObject o = v.toObject();
    RawBucket b;
    const auto id = text(o.value(QLatin1String("limitId")));
    b.limitId = id && !id->isEmpty() ? *id : defaultLimitId;
    b.isDefault = isDefault;
    b.limitName = text(o.value(QLatin1String("limitName")));
    b.primary = window(o.value(QLatin1String("primary")));
    b.secondary = window(o.value(QLatin1String("secondary")));
    b.planType = text(o.value(QLatin1String("planType")));
    b.rateLimitReachedType = text(o.value(QLatin1String("rateLimitReachedType")));
    if (const QJsonValue spend = o.value(QLatin1String("spendControlReached")); spend.isBool())
        b.spendControlReached = spend.toBool();
    return b;
}

std::optional<ResetCredits> resetCredits(const QJsonValue &v)
{
    const auto count = integer(v.toObject().value(QLatin1String("availableCount")));
    if (!count)
        return std::nullopt;
    ResetCredits r;
    r.availableCount = *count;
    const QJsonValue list = v.toObject().value(QLatin1String("credits"));
    if (list.isArray()) {
        r.credits.emplace();
        for (const QJsonValue &item : list.toArray()) {
            if (!item.isObject())
                continue;
            const QJsonObject o = item.toObject();
            ResetCredits::Credit c;
            c.status = text(o.value(QLatin1String("status")));
            if (const QJsonValue at = o.value(QLatin1String("expiresAt")); at.isDouble() && std::isfinite(at.toDouble()))
                c.expiresAt = at.toDouble();
            r.credits->append(c);
        }
    }
    return r;
}

Result answer(const QJsonObject &result)
{
    Result r{Status::Ok, {}, {}};
    const QJsonObject byId = result.value(QLatin1String("rateLimitsByLimitId")).toObject();
    auto main = bucket(result.value(QLatin1String("rateLimits")), true);
    if (!main || !Snapshot::hasShowableWindow(*main)) {
        const QString id = main ? main->limitId : defaultLimitId;
        if (auto listed = bucket(byId.value(id), true)) {
            listed->limitId = id;
            main = listed;
        }
    }
    if (main && Snapshot::hasShowableWindow(*main))
        r.buckets.append(*main);
    for (auto it = byId.constBegin(); it != byId.constEnd(); ++it) {
        auto b = bucket(it.value(), false);
        if (!b)
            continue;
        if (!text(it.value().toObject().value(QLatin1String("limitId"))))
            b->limitId = it.key();
        // The default bucket is usually listed here too; it is already taken.
        if ((main && b->limitId == main->limitId) || b->limitId == defaultLimitId)
            continue;
        if (Snapshot::hasShowableWindow(*b))
            r.buckets.append(*b);
    }
    if (r.buckets.isEmpty())
        return failed(QStringLiteral("the Codex CLI reported no usable quota window"));
    r.resetCredits = resetCredits(result.value(QLatin1String("rateLimitResetCredits")));
    return r;
}

Result error(const QJsonObject &error)
{
    const QString message = error.value(QLatin1String("message")).toString();
    if (message.contains(QLatin1String("chatgpt authentication required"), Qt::CaseInsensitive))
        return {Status::ApiKey, {}, {}};
    if (message.contains(QLatin1String("authentication required"), Qt::CaseInsensitive))
        return {Status::SignedOut, {}, {}};
    return failed(QStringLiteral("the Codex CLI refused to report the quota"));
}

// The session of the CLI now running, for killRunning(); 0 when there is none.
std::atomic<pid_t> runningSession{0};
static_assert(std::atomic<pid_t>::is_always_lock_free, "read from a signal handler");

// The signals that end quorvel. They are held back while the CLI starts, so that none
// can fall between its start and its session being recorded.
sigset_t stopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT})
        sigaddset(&set, sig);
    return set;
}

// Reaps whatever of the session has come to us, and tells whether any of it is left.
bool sessionLeft(pid_t session)
{
    int status = 0;
    while (::waitpid(-session, &status, WNOHANG) > 0) {
    }
    return ::kill(-session, 0) == 0 || errno == EPERM;
}

// What left the CLI's session (a daemon, say) comes back to us, as a subreaper, when its
// parent ends; it is ended too, for nothing the CLI started should outlive quorvel. Only
// called once the CLI itself has been reaped, as every child of ours is then its leftover.
void endOrphans()
{
#ifdef __linux__
    const QDeadlineTimer deadline(1000);
    for (bool any = true; any && !deadline.hasExpired();) {
        any = false;
        const QStringList tasks = QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString &task : tasks) {
            QFile children(QStringLiteral("/proc/self/task/%1/children").arg(task));
            if (!children.open(QIODevice::ReadOnly))
                continue;
            for (const QByteArray &child : children.readAll().split(' ')) {
                if (const int pid = child.toInt(); pid > 0) {
                    ::kill(pid, SIGKILL);
                    any = true;
                }
            }
        }
        while (::waitpid(-1, nullptr, WNOHANG) > 0)
            any = true;
        if (any)
            QThread::msleep(5);
    }
#endif
}

void stop(QProcess &codex, pid_t session)
{
    // app-server ends when its input closes; anything slower is stopped.
    codex.closeWriteChannel();
    codex.waitForFinished(500);
    // The launcher may be gone while the real server, its child, lives on, so the whole
    // session is ended whatever its leader did. The leader is waited for first: it is
    // Qt's to reap, and only the rest of the session is reaped here.
    for (const int sig : {SIGTERM, SIGKILL}) {
        if (codex.state() == QProcess::NotRunning && !sessionLeft(session))
            break;
        ::kill(-session, sig);
        codex.waitForFinished(sig == SIGTERM ? 500 : 1000);
        const QDeadlineTimer grace(sig == SIGTERM ? 500 : 1000);
        while (codex.state() == QProcess::NotRunning && sessionLeft(session) && !grace.hasExpired())
            QThread::msleep(5);
    }
    runningSession = 0;
    if (codex.state() == QProcess::NotRunning)
        endOrphans();
}

} // namespace

QString findCodex()
{
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("codex"));
    if (!onPath.isEmpty())
        return onPath;
    const QString local = QDir::homePath() + QStringLiteral("/.local/bin/codex");
    const QFileInfo info(local);
    return info.isFile() && info.isExecutable() ? local : QString();
}

Result read(const QString &codexPath, std::chrono::milliseconds bound)
{
    const QDeadlineTimer deadline(bound);
    QProcess codex;
    codex.setProgram(codexPath);
    codex.setArguments({QStringLiteral("app-server")});
    // Its diagnostics are not ours to pass on, and may name account details.
    codex.setStandardErrorFile(QProcess::nullDevice());
#ifdef __linux__
    // What the CLI starts and leaves behind comes to us rather than to init, so that it
    // can be found and reaped below.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
#endif
    const sigset_t held = stopSignals();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &held, &previous);
    // A session of its own: everything the CLI starts can be ended together, and a
    // Ctrl-C at a terminal reaches quorvel, which ends it, rather than racing it.
    codex.setChildProcessModifier([previous] {
        ::setsid();
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    });
    codex.start(QIODevice::ReadWrite);
    const pid_t session = pid_t(codex.processId());
    runningSession = session;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (session <= 0 || !codex.waitForStarted(int(deadline.remainingTime()))) {
        if (session > 0)
            stop(codex, session);
        return failed(QStringLiteral("the Codex CLI could not be started"));
    }

    codex.write(line(QJsonObject{
        {QStringLiteral("method"), QStringLiteral("initialize")},
        {QStringLiteral("id"), initializeId},
        {QStringLiteral("params"),
         QJsonObject{{QStringLiteral("clientInfo"),
                      QJsonObject{{QStringLiteral("name"), QStringLiteral("quorvel")},
                                  {QStringLiteral("title"), QStringLiteral("quorvel")},
                                  {QStringLiteral("version"), QStringLiteral(TESSALINE_VERSION)}}}}},
    }));

    QByteArray pending;
    std::optional<Result> outcome;
    while (!outcome) {
        if (deadline.hasExpired()) {
            outcome = failed(QStringLiteral("the Codex CLI did not answer within %1 seconds")
                                 .arg(std::chrono::duration_cast<std::chrono::seconds>(bound).count()));
            break;
        }
        const qsizetype nl = pending.indexOf('\n');
        if (nl < 0) {
            if (pending.size() > maxLineLength) {
                outcome = failed(QStringLiteral("the Codex CLI answered with unreadable data"));
                break;
            }
            if (codex.state() == QProcess::NotRunning) {
                outcome = failed(QStringLiteral("the Codex CLI stopped without answering"));
                break;
            }
            // False when the time is up or the process ended; both are looked at above,
            // after whatever it wrote last has been taken.
            codex.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
            pending += codex.readAllStandardOutput();
            continue;
        }
        const QByteArray text = pending.left(nl).trimmed();
        pending.remove(0, nl + 1);
        if (text.isEmpty())
            continue;
        QJsonParseError parseError;
        const QJsonDocument doc = QJsonDocument::fromJson(text, &parseError);
        if (!doc.isObject()) {
            outcome = failed(QStringLiteral("the Codex CLI answered with unreadable data"));
            break;
        }
        const QJsonObject message = doc.object();
        // Notifications and the server's own requests carry a method; only our
        // answers matter here.
        if (message.contains(QLatin1String("method")) || !message.contains(QLatin1String("id")))
            continue;
        const auto id = integer(message.value(QLatin1String("id")));
        if (id == initializeId) {
            if (message.value(QLatin1String("error")).isObject()) {
                outcome = error(message.value(QLatin1String("error")).toObject());
                break;
            }
            codex.write(line(QJsonObject{{QStringLiteral("method"), QStringLiteral("initialized")}}));
            codex.write(line(QJsonObject{
                {QStringLiteral("method"), QStringLiteral("account/rateLimits/read")},
                {QStringLiteral("id"), readId},
            }));
        } else if (id == readId) {
            if (message.value(QLatin1String("error")).isObject())
                outcome = error(message.value(QLatin1String("error")).toObject());
            else if (message.value(QLatin1String("result")).isObject())
                outcome = answer(message.value(QLatin1String("result")).toObject());
            else
                outcome = failed(QStringLiteral("the Codex CLI answered with unreadable data"));
        }
    }
    stop(codex, session);
    return *outcome;
}

void killRunning()
{
    if (const pid_t session = runningSession.load(); session > 0)
        ::kill(-session, SIGKILL);
}

} // namespace tessaline::helper::LiveSource
