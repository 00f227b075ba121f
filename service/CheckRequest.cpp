#include "service/CheckRequest.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QLocale>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <cmath>

namespace tessaline {

qsizetype graphemeCount(const QString &text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (finder.toNextBoundary() != -1)
        ++count;
    return count;
}

bool hasWords(QStringView text)
{
    // Emoji and other pictographs count: a task written in them says something, while
    // one of punctuation, arithmetic signs or marks alone gives the linter nothing.
    for (const auto c : text.toUcs4())
        if (QChar::isLetterOrNumber(c) || QChar::category(c) == QChar::Symbol_Other)
            return true;
    return false;
}

QString bodyLimitText()
{
    return QLocale(QLocale::English).toString(CheckRequest::maxBodyBytes) + QStringLiteral(" bytes");
}

namespace {

DecodeError refuse(int status, const QString &message)
{
    return DecodeError{message, status};
}

// A JSON null counts as a missing key, like an absent one.
bool missing(const QJsonValue &v)
{
    return v.isUndefined() || v.isNull();
}

bool readPercent(const QJsonObject &quota, const char *key, std::optional<qint64> &out)
{
    const QJsonValue v = quota.value(QLatin1String(key));
    if (missing(v))
        return true;
    if (!v.isDouble())
        return false;
    const double d = v.toDouble();
    // Whole numbers only, and only those a 64-bit integer holds exactly.
    if (!std::isfinite(d) || d != std::floor(d) || std::fabs(d) > 9.0e15)
        return false;
    out = static_cast<qint64>(d);
    return true;
}

bool readSeconds(const QJsonObject &quota, const char *key, std::optional<double> &out)
{
    const QJsonValue v = quota.value(QLatin1String(key));
    if (missing(v))
        return true;
    if (!v.isDouble())
        return false;
    const double d = v.toDouble();
    if (!std::isfinite(d) || d < 0)
        return false;
    out = std::min(d, CheckRequest::maxSecondsToReset);
    return true;
}

} // namespace

Expected<CheckRequest> CheckRequest::decode(const QByteArray &body)
{
    if (body.size() > maxBodyBytes)
        return refuse(413, QStringLiteral("The request body is larger than %1.").arg(bodyLimitText()));

    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return refuse(400, QStringLiteral("The request body is not valid JSON."));
    if (!doc.isObject())
        return refuse(400, QStringLiteral("The request body must be a JSON object."));
    const QJsonObject root = doc.object();

    const QJsonValue task = root.value(QLatin1String("task"));
    if (!task.isString())
        return refuse(400, QStringLiteral("The request needs a \"task\" string."));

    CheckRequest request;
    request.task = task.toString().trimmed();
    if (request.task.isEmpty())
        return refuse(422, QStringLiteral("The task is empty."));
    if (!hasWords(request.task))
        return refuse(422, QStringLiteral("The task has no words, only punctuation or symbols."));
    // Cheap bound first: a text never has more characters than UTF-16 units.
    if (request.task.size() > maxTaskCharacters && graphemeCount(request.task) > maxTaskCharacters)
        return refuse(422, QStringLiteral("The task is longer than 8,000 characters."));

    const QJsonValue quotaValue = root.value(QLatin1String("quota"));
    if (missing(quotaValue))
        return request;
    if (!quotaValue.isObject())
        return refuse(400, QStringLiteral("\"quota\" must be a JSON object."));
    const QJsonObject quota = quotaValue.toObject();

    if (!readPercent(quota, "fiveHourRemainingPercent", request.quota.fiveHourRemainingPercent)
        || !readPercent(quota, "weeklyRemainingPercent", request.quota.weeklyRemainingPercent))
        return refuse(400, QStringLiteral("A remaining percentage must be a whole number."));
    if (!readSeconds(quota, "fiveHourSecondsToReset", request.quota.fiveHourSecondsToReset)
        || !readSeconds(quota, "weeklySecondsToReset", request.quota.weeklySecondsToReset))
        return refuse(400, QStringLiteral("Seconds to reset must be a number of zero or more."));
    const QJsonValue summary = quota.value(QLatin1String("pressureSummary"));
    if (!missing(summary) && !summary.isString())
        return refuse(400, QStringLiteral("\"pressureSummary\" must be a string."));
    return request;
}

} // namespace tessaline
