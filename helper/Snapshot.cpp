#include "helper/Snapshot.h"

#include <QJsonArray>

#include <algorithm>
#include <cmath>

namespace tessaline::helper::Snapshot {

namespace {

// The program refuses reset times outside this range (the start of the year 10000).
constexpr double latestInstant = 253402300800.0;

struct Window {
    QString name;
    qint64 usedPercent = 0;
    qint64 remainingPercent = 0;
    qint64 minutes = 0;
    double resetsAt = 0;
    bool expired = false;
    bool exhausted = false;
    Pace pace;
};

struct Bucket {
    QString id;
    QString label;
    bool isDefault = false;
    QList<Window> windows;
    std::optional<QString> planType;
    std::optional<QString> rateLimitReachedType;
    std::optional<bool> spendControlReached;
};

// A window needs a length and a reset time to be shown at all; without them there is
// nothing true to say about it, so it is left out rather than guessed.
std::optional<Window> checkedWindow(const RawWindow &raw, double now)
{
    if (!isShowable(raw))
        return std::nullopt;
    const double resetsAt = *raw.resetsAt;
    Window w;
    w.minutes = identifyMinutes(*raw.windowMinutes);
    w.name = windowName(w.minutes);
    w.resetsAt = resetsAt;
    w.expired = resetsAt <= now;
    // Once the reset has passed, whatever was used before it no longer counts.
    const double used = w.expired ? 0.0 : std::clamp(raw.usedPercent, 0.0, 100.0);
    w.usedPercent = std::clamp<qint64>(std::llround(used), 0, 100);
    w.remainingPercent = 100 - w.usedPercent;
    // Judged before rounding: 99.6 % used shows as 100 but is not yet a block.
    w.exhausted = !w.expired && raw.usedPercent >= 100.0;
    w.pace = w.expired ? Pace{0.0, QStringLiteral("on track")}
                       : pace(w.usedPercent, w.minutes, w.resetsAt, now);
    return w;
}

Bucket checkedBucket(const RawBucket &raw, double now)
{
    Bucket b;
    b.id = raw.limitId;
    b.isDefault = raw.isDefault;
    if (raw.limitName && !raw.limitName->trimmed().isEmpty())
        b.label = raw.limitName->trimmed();
    else
        b.label = raw.isDefault ? QStringLiteral("Codex") : raw.limitId;
    for (const auto &slot : {raw.primary, raw.secondary})
        if (slot)
            if (auto w = checkedWindow(*slot, now))
                b.windows.append(*w);
    b.planType = raw.planType;
    b.rateLimitReachedType = raw.rateLimitReachedType;
    b.spendControlReached = raw.spendControlReached;
    return b;
}

QJsonObject windowJson(const Window &w)
{
    return QJsonObject{
        {QStringLiteral("name"), w.name},
        {QStringLiteral("usedPercent"), w.usedPercent},
        {QStringLiteral("remainingPercent"), w.remainingPercent},
        {QStringLiteral("windowDurationMins"), w.minutes},
        {QStringLiteral("resetsAt"), w.resetsAt},
    };
}

QJsonArray windowsJson(const QList<Window> &windows)
{
    QJsonArray a;
    for (const Window &w : windows)
        a.append(windowJson(w));
    return a;
}

double oneDecimal(double v)
{
    return std::round(v * 10.0) / 10.0;
}

double twoDecimals(double v)
{
    return std::round(v * 100.0) / 100.0;
}

struct Candidate {
    const Bucket *bucket;
    const Window *window;
};

// Most pressured: furthest ahead of even pace; then least remaining; then the default
// bucket; then the order the sources gave.
bool morePressured(const Candidate &a, const Candidate &b)
{
    if (a.window->pace.deltaPoints != b.window->pace.deltaPoints)
        return a.window->pace.deltaPoints > b.window->pace.deltaPoints;
    if (a.window->remainingPercent != b.window->remainingPercent)
        return a.window->remainingPercent < b.window->remainingPercent;
    return a.bucket->isDefault && !b.bucket->isDefault;
}

const Candidate *mostPressured(const QList<Candidate> &all, const Candidate *except)
{
    const Candidate *best = nullptr;
    for (const Candidate &c : all) {
        if (except && c.window == except->window)
            continue;
        if (!best || morePressured(c, *best))
            best = &c;
    }
    return best;
}

QJsonObject pressureJson(const QList<Bucket> &buckets)
{
    QList<Candidate> all;
    // Default bucket first so that ties favour it.
    for (const Bucket &b : buckets)
        if (b.isDefault)
            for (const Window &w : b.windows)
                all.append({&b, &w});
    for (const Bucket &b : buckets)
        if (!b.isDefault)
            for (const Window &w : b.windows)
                all.append({&b, &w});

    // Blocked: some window is used up. The block that lasts longest is the one named.
    const Candidate *block = nullptr;
    for (const Candidate &c : all)
        if (c.window->exhausted && (!block || c.window->resetsAt > block->window->resetsAt))
            block = &c;

    QJsonObject p;
    p.insert(QStringLiteral("blocked"), block != nullptr);
    const Candidate *named = block ? block : mostPressured(all, nullptr);
    if (!named)
        return p;
    p.insert(QStringLiteral("bucketLabel"), named->bucket->label);
    p.insert(QStringLiteral("bucketIsDefault"), named->bucket->isDefault);
    p.insert(QStringLiteral("windowLabel"), named->window->name);
    p.insert(QStringLiteral("deltaPoints"), oneDecimal(named->window->pace.deltaPoints));
    p.insert(QStringLiteral("classification"), named->window->pace.classification);
    if (block) {
        if (const Candidate *next = mostPressured(all, block)) {
            p.insert(QStringLiteral("secondary"),
                     QJsonObject{
                         {QStringLiteral("bucketLabel"), next->bucket->label},
                         {QStringLiteral("bucketIsDefault"), next->bucket->isDefault},
                         {QStringLiteral("windowLabel"), next->window->name},
                         {QStringLiteral("deltaPoints"), oneDecimal(next->window->pace.deltaPoints)},
                         {QStringLiteral("classification"), next->window->pace.classification},
                     });
        }
    }
    return p;
}

// What is left of the weekly window spread evenly over the time to its reset. Neither
// rate can exceed what remains, so the figures stay sensible in the last hours.
std::optional<QJsonObject> weeklyBudgetJson(const QList<Window> &windows, double now)
{
    const auto weekly = std::find_if(windows.cbegin(), windows.cend(),
                                     [](const Window &w) { return w.minutes == weeklyMinutes; });
    if (weekly == windows.cend())
        return std::nullopt;
    const double seconds = std::max(0.0, weekly->resetsAt - now);
    const double remaining = double(weekly->remainingPercent);
    const double perHour = seconds > 0 ? std::min(remaining, remaining * 3600.0 / seconds) : remaining;
    const double perDay = seconds > 0 ? std::min(remaining, remaining * 86400.0 / seconds) : remaining;
    return QJsonObject{
        {QStringLiteral("percentPerDay"), twoDecimals(perDay)},
        {QStringLiteral("percentPerHour"), twoDecimals(perHour)},
        {QStringLiteral("secondsToReset"), std::round(seconds)},
        {QStringLiteral("remainingPercent"), weekly->remainingPercent},
    };
}

QJsonObject resetCreditsJson(const ResetCredits &credits)
{
    QJsonObject o{{QStringLiteral("availableCount"), credits.availableCount}};
    if (credits.credits) {
        QJsonArray list;
        for (const ResetCredits::Credit &c : *credits.credits) {
            QJsonObject item;
            if (c.status)
                item.insert(QStringLiteral("status"), *c.status);
            if (c.expiresAt)
                item.insert(QStringLiteral("expiresAt"), *c.expiresAt);
            list.append(item);
        }
        o.insert(QStringLiteral("credits"), list);
    }
    return o;
}

} // namespace

bool isShowable(const RawWindow &w)
{
    return w.windowMinutes && *w.windowMinutes >= 1 && w.resetsAt && std::isfinite(*w.resetsAt)
        && *w.resetsAt > 0 && *w.resetsAt < latestInstant && std::isfinite(w.usedPercent);
}

bool hasShowableWindow(const RawBucket &b)
{
    return (b.primary && isShowable(*b.primary)) || (b.secondary && isShowable(*b.secondary));
}

qint64 identifyMinutes(qint64 minutes)
{
    for (qint64 known : {fiveHourMinutes, weeklyMinutes})
        if (std::abs(double(minutes - known)) <= double(known) * 0.05)
            return known;
    return minutes;
}

QString windowName(qint64 minutes)
{
    if (minutes == fiveHourMinutes)
        return QStringLiteral("5h");
    if (minutes == weeklyMinutes)
        return QStringLiteral("weekly");
    auto words = [](qint64 n, const char *unit) {
        return QStringLiteral("%1 %2%3").arg(n).arg(QLatin1String(unit)).arg(n == 1 ? "" : "s");
    };
    if (minutes % 10080 == 0)
        return words(minutes / 10080, "week");
    if (minutes % 1440 == 0)
        return words(minutes / 1440, "day");
    if (minutes % 60 == 0)
        return words(minutes / 60, "hour");
    return words(minutes, "minute");
}

Pace pace(qint64 usedPercent, qint64 minutes, double resetsAt, double now)
{
    const double length = double(minutes) * 60.0;
    const double start = resetsAt - length;
    const double elapsedShare = std::clamp((now - start) / length * 100.0, 0.0, 100.0);
    const double delta = double(usedPercent) - elapsedShare;
    QString cls = QStringLiteral("on track");
    if (delta >= paceThresholdPoints)
        cls = QStringLiteral("ahead");
    else if (delta <= -paceThresholdPoints)
        cls = QStringLiteral("behind");
    return {delta, cls};
}

std::optional<QJsonObject> build(const QList<RawBucket> &rawBuckets, double now,
                                 const std::optional<ResetCredits> &resetCredits)
{
    QList<Bucket> buckets;
    for (const RawBucket &raw : rawBuckets) {
        Bucket b = checkedBucket(raw, now);
        if (!b.windows.isEmpty())
            buckets.append(std::move(b));
    }
    if (buckets.isEmpty())
        return std::nullopt;

    const auto main = std::find_if(buckets.cbegin(), buckets.cend(),
                                   [](const Bucket &b) { return b.isDefault; });
    const Bucket &top = main != buckets.cend() ? *main : buckets.first();

    QJsonArray limitBuckets;
    for (const Bucket &b : buckets) {
        QJsonObject o{
            {QStringLiteral("id"), b.id},
            {QStringLiteral("label"), b.label},
            {QStringLiteral("isDefault"), b.isDefault},
            {QStringLiteral("windows"), windowsJson(b.windows)},
        };
        if (b.rateLimitReachedType)
            o.insert(QStringLiteral("rateLimitReachedType"), *b.rateLimitReachedType);
        if (b.spendControlReached)
            o.insert(QStringLiteral("spendControlReached"), *b.spendControlReached);
        limitBuckets.append(o);
    }

    QJsonObject doc{
        {QStringLiteral("schemaVersion"), 1},
        {QStringLiteral("fetchedAt"), now},
        {QStringLiteral("windows"), windowsJson(top.windows)},
        {QStringLiteral("limitBuckets"), limitBuckets},
        {QStringLiteral("pressureCheck"), pressureJson(buckets)},
    };
    if (top.planType)
        doc.insert(QStringLiteral("planType"), *top.planType);
    if (top.rateLimitReachedType)
        doc.insert(QStringLiteral("rateLimitReachedType"), *top.rateLimitReachedType);
    if (top.spendControlReached)
        doc.insert(QStringLiteral("spendControlReached"), *top.spendControlReached);
    if (resetCredits)
        doc.insert(QStringLiteral("resetCredits"), resetCreditsJson(*resetCredits));
    if (auto budget = weeklyBudgetJson(top.windows, now))
        doc.insert(QStringLiteral("weeklyBudget"), *budget);
    return doc;
}

} // namespace tessaline::helper::Snapshot
