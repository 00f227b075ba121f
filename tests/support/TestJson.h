#pragma once

// The JSON documents tests hand to the program: the helper's usage snapshot, the check
// service's answer and the outcome history. Each builder makes the smallest document
// the program accepts; a test adds or replaces only the keys its case is about.

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace testjson {

inline double now() { return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0; }

inline QByteArray compact(const QJsonObject &object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

// `base` with the keys of `extra` added or replaced.
inline QJsonObject merged(QJsonObject base, const QJsonObject &extra)
{
    for (auto it = extra.begin(); it != extra.end(); ++it)
        base.insert(it.key(), it.value());
    return base;
}

// The helper's snapshot: windows of [minutes, percentage left, reset], a reset beyond 1e9
// being a time and any other seconds from now.
inline QByteArray snapshot(const QJsonArray &windows)
{
    QJsonArray out;
    for (const QJsonValue &w : windows)
        out.append(QJsonObject{{"name", QStringLiteral("w%1").arg(w[0].toInteger())}, {"windowDurationMins", w[0]},
                               {"usedPercent", 100 - w[1].toInteger()}, {"remainingPercent", w[1]},
                               {"resetsAt", w[2].toDouble() > 1e9 ? w[2].toDouble() : now() + w[2].toDouble()}});
    return compact({{"schemaVersion", 1}, {"fetchedAt", now()}, {"windows", out}});
}

// A five-hour and a weekly window with this much left, resetting in 3 hours and 4 days.
inline QByteArray quota(qint64 fiveHour, qint64 weekly)
{
    return snapshot({QJsonArray{300, fiveHour, 3 * 3600}, QJsonArray{10080, weekly, 4 * 86400}});
}

inline QJsonObject lint(const QString &title, const QString &fix, const QString &message = QStringLiteral("m"),
                        const QString &code = QStringLiteral("c"))
{
    return {{"code", code}, {"title", title}, {"message", message}, {"fix", fix}};
}

// The check service's answer.
inline QByteArray answer(const QJsonObject &extra = {})
{
    return compact(merged({{"decision", "scope_down"},
                           {"quota", QJsonObject{{"band", "moderate"}, {"reason", "Enough quota for a bounded task."}}}},
                          extra));
}

// One entry of the outcome history as the program stores it.
inline QJsonObject historyEntry(const QString &outcome, const QJsonValue &startingBand = "moderate",
                                const QString &taskSize = QStringLiteral("small"),
                                const QString &policy = QStringLiteral("standard"))
{
    return {{"timestamp", 1765000000}, {"taskSize", taskSize}, {"lintCodes", QJsonArray()},
            {"startingQuotaBand", startingBand}, {"endingQuotaBand", QJsonValue()}, {"reservePolicy", policy},
            {"maximumReserveConstraintReached", 0}, {"runDurationMinutes", 5}, {"outcome", outcome}};
}

} // namespace testjson
