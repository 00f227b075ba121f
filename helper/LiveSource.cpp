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

#include <cmath>

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
    return b;
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

void stop(QProcess &codex)
{
    // app-server ends when its input closes; anything slower is stopped.
    codex.closeWriteChannel();
    if (codex.waitForFinished(500))
        return;
    codex.terminate();
    if (codex.waitForFinished(500))
        return;
    codex.kill();
    codex.waitForFinished(1000);
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
    codex.start(QIODevice::ReadWrite);
    if (!codex.waitForStarted(int(deadline.remainingTime()))) {
        codex.kill();
        codex.waitForFinished(1000);
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
    stop(codex);
    return *outcome;
}

} // namespace tessaline::helper::LiveSource
