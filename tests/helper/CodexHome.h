#pragma once

// Builds throwaway Codex homes for the tests: session logs with rate-limit lines
// written relative to the current time, plain or compressed, with chosen file times.

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <zstd.h>

#include <optional>

namespace testing {

inline double nowSeconds()
{
    return double(QDateTime::currentSecsSinceEpoch());
}

inline QString isoTime(double seconds)
{
    return QDateTime::fromMSecsSinceEpoch(qint64(seconds * 1000), Qt::UTC)
        .toString(Qt::ISODateWithMs);
}

// {"used_percent", "window_minutes", "resets_at"} with nulls where a value is absent.
inline QJsonValue logWindow(double used, std::optional<qint64> minutes, std::optional<double> resetsAt)
{
    QJsonObject o{{QStringLiteral("used_percent"), used}};
    o.insert(QStringLiteral("window_minutes"), minutes ? QJsonValue(double(*minutes)) : QJsonValue());
    o.insert(QStringLiteral("resets_at"), resetsAt ? QJsonValue(*resetsAt) : QJsonValue());
    return o;
}

inline QByteArray tokenCountLine(double at, const QJsonValue &rateLimits)
{
    const QJsonObject line{
        {QStringLiteral("timestamp"), isoTime(at)},
        {QStringLiteral("type"), QStringLiteral("event_msg")},
        {QStringLiteral("payload"),
         QJsonObject{{QStringLiteral("type"), QStringLiteral("token_count")},
                     {QStringLiteral("info"), QJsonObject{{QStringLiteral("total_tokens"), 1234}}},
                     {QStringLiteral("rate_limits"), rateLimits}}},
    };
    return QJsonDocument(line).toJson(QJsonDocument::Compact);
}

inline QJsonObject limits(const QJsonValue &primary, const QJsonValue &secondary)
{
    return QJsonObject{{QStringLiteral("primary"), primary}, {QStringLiteral("secondary"), secondary},
                       {QStringLiteral("plan_type"), QStringLiteral("plus")}};
}

// A line of transcript, which mentions rate limits in its text but is no event.
inline QByteArray chatterLine(double at)
{
    return QJsonDocument(QJsonObject{
                             {QStringLiteral("timestamp"), isoTime(at)},
                             {QStringLiteral("type"), QStringLiteral("response_item")},
                             {QStringLiteral("payload"),
                              QJsonObject{{QStringLiteral("type"), QStringLiteral("message")},
                                          {QStringLiteral("text"), QStringLiteral("token_count and rate_limits")}}}})
        .toJson(QJsonDocument::Compact);
}

class CodexHome {
public:
    explicit CodexHome(QString root) : root(std::move(root)) {}

    // Writes sessions/<folder>/rollout-<name>.jsonl[.zst] last modified `age` seconds ago.
    void write(const QString &folder, const QString &name, const QList<QByteArray> &lines,
               double age = 0, bool compressed = false, bool finalNewline = true) const
    {
        QByteArray text = lines.join('\n');
        if (finalNewline)
            text += '\n';
        if (compressed) {
            QByteArray packed(qsizetype(ZSTD_compressBound(size_t(text.size()))), Qt::Uninitialized);
            const size_t n = ZSTD_compress(packed.data(), size_t(packed.size()), text.constData(),
                                           size_t(text.size()), 3);
            packed.resize(qsizetype(n));
            text = packed;
        }
        const QString dir = root + QStringLiteral("/sessions/") + folder;
        QDir().mkpath(dir);
        QFile file(dir + QStringLiteral("/rollout-") + name + QStringLiteral(".jsonl")
                   + (compressed ? QStringLiteral(".zst") : QString()));
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
            qFatal("cannot write a test log");
        file.flush(); // or the buffered write would stamp the file after its time is set
        file.setFileTime(QDateTime::currentDateTimeUtc().addMSecs(qint64(-age * 1000)),
                         QFileDevice::FileModificationTime);
    }

    const QString root;
};

} // namespace testing
