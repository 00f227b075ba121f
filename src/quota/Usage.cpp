#include "quota/Usage.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QVariant>

#include <cmath>
#include <cstring>

namespace tessaline {

namespace {

// Thrown inside this file only; decode() turns it into a DecodeError, so nothing
// half-decoded ever leaves.
struct Refusal {
    QString message;
};

[[noreturn]] void refuse(const QString &message)
{
    throw Refusal{message};
}

[[noreturn]] void wrongType(QLatin1StringView key, const char *expected)
{
    refuse(QStringLiteral("The value for \"%1\" is not %2.").arg(key, QLatin1String(expected)));
}

// A JSON number becomes an integer only when its value is integral and fits 64 bits.
// The JSON layer already keeps such numbers as integers (5, 5.0 and 1e2 alike) and
// everything else as a double, so the stored kind is the test.
qint64 integerFrom(const QJsonValue &value, QLatin1StringView key)
{
    if (!value.isDouble())
        wrongType(key, "a number");
    const QVariant v = value.toVariant();
    if (v.typeId() != QMetaType::LongLong)
        wrongType(key, "an integral number that fits 64 bits");
    return v.toLongLong();
}

double realFrom(const QJsonValue &value, QLatin1StringView key)
{
    if (!value.isDouble())
        wrongType(key, "a number");
    return value.toDouble();
}

bool boolFrom(const QJsonValue &value, QLatin1StringView key)
{
    if (!value.isBool())
        wrongType(key, "true or false");
    return value.toBool();
}

QString textFrom(const QJsonValue &value, QLatin1StringView key)
{
    if (!value.isString())
        wrongType(key, "a string");
    return value.toString();
}

QJsonObject objectFrom(const QJsonValue &value, QLatin1StringView key)
{
    if (!value.isObject())
        wrongType(key, "an object");
    return value.toObject();
}

template <typename Element>
QList<Element> listFrom(const QJsonValue &value, QLatin1StringView key,
                        Element (*decodeElement)(const QJsonObject &))
{
    if (!value.isArray())
        wrongType(key, "an array");
    const QJsonArray array = value.toArray();
    QList<Element> list;
    list.reserve(array.size());
    for (const QJsonValue &element : array)
        list.append(decodeElement(objectFrom(element, key)));
    return list;
}

// Missing and null are the same thing: an absent value.
QJsonValue present(const QJsonObject &object, QLatin1StringView key)
{
    const QJsonValue value = object.value(key);
    return value.isUndefined() ? QJsonValue(QJsonValue::Null) : value;
}

QJsonValue required(const QJsonObject &object, QLatin1StringView key)
{
    const QJsonValue value = present(object, key);
    if (value.isNull())
        refuse(QStringLiteral("No value for the key \"%1\".").arg(key));
    return value;
}

template <typename Convert>
auto optional(const QJsonObject &object, QLatin1StringView key, Convert convert)
    -> std::optional<decltype(convert(QJsonValue(), key))>
{
    const QJsonValue value = present(object, key);
    if (value.isNull())
        return std::nullopt;
    return convert(value, key);
}


// QJsonDocument is lenient where the helper's output must not be: it takes unknown
// escapes ("\q"), raw control characters in strings, numbers such as ".5" and "1.",
// unpaired surrogate escapes and a leading byte-order mark. This pass accepts exactly
// the JSON grammar (UTF-8 validity is left to the parser, which checks it) and names the
// offset of the first byte it cannot take.
class StrictSyntax {
public:
    explicit StrictSyntax(QByteArrayView bytes) : p(bytes.data()), begin(bytes.data()), end(bytes.data() + bytes.size()) {}

    // The offset of the first offending byte, or -1 when the bytes are one JSON text.
    qsizetype firstFault()
    {
        skipSpace();
        if (!value(0))
            return p - begin;
        skipSpace();
        return p == end ? -1 : p - begin;
    }

private:
    static constexpr int maxDepth = 1024;

    const char *p;
    const char *const begin;
    const char *const end;

    bool at(char c) const { return p < end && *p == c; }
    bool take(char c)
    {
        if (!at(c))
            return false;
        ++p;
        return true;
    }
    bool isDigit() const { return p < end && *p >= '0' && *p <= '9'; }
    void skipSpace()
    {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r'))
            ++p;
    }
    bool word(const char *w)
    {
        for (; *w; ++w)
            if (!take(*w))
                return false;
        return true;
    }

    bool value(int depth)
    {
        if (p == end)
            return false;
        switch (*p) {
        case '{': return object(depth + 1);
        case '[': return array(depth + 1);
        case '"': return string();
        case 't': return word("true");
        case 'f': return word("false");
        case 'n': return word("null");
        default: return number();
        }
    }

    bool object(int depth)
    {
        if (depth > maxDepth)
            return false;
        ++p;
        skipSpace();
        if (take('}'))
            return true;
        for (;;) {
            skipSpace();
            if (!at('"') || !string())
                return false;
            skipSpace();
            if (!take(':'))
                return false;
            skipSpace();
            if (!value(depth))
                return false;
            skipSpace();
            if (take('}'))
                return true;
            if (!take(','))
                return false;
        }
    }

    bool array(int depth)
    {
        if (depth > maxDepth)
            return false;
        ++p;
        skipSpace();
        if (take(']'))
            return true;
        for (;;) {
            skipSpace();
            if (!value(depth))
                return false;
            skipSpace();
            if (take(']'))
                return true;
            if (!take(','))
                return false;
        }
    }

    bool number()
    {
        take('-');
        if (take('0')) {
            // no leading zeros
        } else if (isDigit()) {
            while (isDigit())
                ++p;
        } else {
            return false;
        }
        if (take('.')) {
            if (!isDigit())
                return false;
            while (isDigit())
                ++p;
        }
        if (take('e') || take('E')) {
            if (!take('+'))
                take('-');
            if (!isDigit())
                return false;
            while (isDigit())
                ++p;
        }
        return true;
    }

    int hexQuad()
    {
        int unit = 0;
        for (int i = 0; i < 4; ++i, ++p) {
            if (p == end)
                return -1;
            const char c = *p;
            int digit;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            else
                return -1;
            unit = unit * 16 + digit;
        }
        return unit;
    }

    bool string()
    {
        ++p;
        while (p < end) {
            const unsigned char c = static_cast<unsigned char>(*p);
            if (c == '"') {
                ++p;
                return true;
            }
            if (c < 0x20)
                return false;
            if (c != '\\') {
                ++p;
                continue;
            }
            ++p;
            if (p == end)
                return false;
            const char escaped = *p++;
            if (escaped != 'u') {
                if (!std::strchr("\"\\/bfnrt", escaped) || escaped == '\0')
                    return false;
                continue;
            }
            const int unit = hexQuad();
            if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF))
                return false;
            if (unit >= 0xD800 && unit <= 0xDBFF) {
                if (!take('\\') || !take('u'))
                    return false;
                const int low = hexQuad();
                if (low < 0xDC00 || low > 0xDFFF)
                    return false;
            }
        }
        return false;
    }
};

using namespace Qt::StringLiterals;

Usage::Window decodeWindow(const QJsonObject &o)
{
    Usage::Window w;
    w.name = textFrom(required(o, "name"_L1), "name"_L1);
    w.usedPercent = integerFrom(required(o, "usedPercent"_L1), "usedPercent"_L1);
    w.remainingPercent = integerFrom(required(o, "remainingPercent"_L1), "remainingPercent"_L1);
    w.windowDurationMins = integerFrom(required(o, "windowDurationMins"_L1), "windowDurationMins"_L1);
    w.resetsAt = realFrom(required(o, "resetsAt"_L1), "resetsAt"_L1);
    return w;
}

QList<Usage::Window> windowsFrom(const QJsonValue &value, QLatin1StringView key)
{
    return listFrom<Usage::Window>(value, key, decodeWindow);
}

Usage::LimitBucket decodeLimitBucket(const QJsonObject &o)
{
    Usage::LimitBucket b;
    b.id = textFrom(required(o, "id"_L1), "id"_L1);
    b.label = textFrom(required(o, "label"_L1), "label"_L1);
    b.isDefault = boolFrom(required(o, "isDefault"_L1), "isDefault"_L1);
    b.windows = windowsFrom(required(o, "windows"_L1), "windows"_L1);
    b.rateLimitReachedType = optional(o, "rateLimitReachedType"_L1, textFrom);
    b.spendControlReached = optional(o, "spendControlReached"_L1, boolFrom);
    return b;
}

Usage::PressureCheck::Secondary decodeSecondary(const QJsonValue &value, QLatin1StringView key)
{
    const QJsonObject o = objectFrom(value, key);
    Usage::PressureCheck::Secondary s;
    s.bucketLabel = textFrom(required(o, "bucketLabel"_L1), "bucketLabel"_L1);
    s.bucketIsDefault = boolFrom(required(o, "bucketIsDefault"_L1), "bucketIsDefault"_L1);
    s.windowLabel = textFrom(required(o, "windowLabel"_L1), "windowLabel"_L1);
    s.deltaPoints = realFrom(required(o, "deltaPoints"_L1), "deltaPoints"_L1);
    s.classification = textFrom(required(o, "classification"_L1), "classification"_L1);
    return s;
}

Usage::PressureCheck decodePressureCheck(const QJsonValue &value, QLatin1StringView key)
{
    const QJsonObject o = objectFrom(value, key);
    Usage::PressureCheck p;
    p.blocked = boolFrom(required(o, "blocked"_L1), "blocked"_L1);
    p.bucketLabel = optional(o, "bucketLabel"_L1, textFrom);
    p.bucketIsDefault = optional(o, "bucketIsDefault"_L1, boolFrom);
    p.windowLabel = optional(o, "windowLabel"_L1, textFrom);
    p.deltaPoints = optional(o, "deltaPoints"_L1, realFrom);
    p.classification = optional(o, "classification"_L1, textFrom);
    p.secondary = optional(o, "secondary"_L1, decodeSecondary);
    return p;
}

Usage::Credits::Credit decodeCredit(const QJsonObject &o)
{
    Usage::Credits::Credit c;
    c.status = optional(o, "status"_L1, textFrom);
    c.expiresAt = optional(o, "expiresAt"_L1, realFrom);
    return c;
}

Usage::Credits decodeCredits(const QJsonValue &value, QLatin1StringView key)
{
    const QJsonObject o = objectFrom(value, key);
    Usage::Credits c;
    c.availableCount = integerFrom(required(o, "availableCount"_L1), "availableCount"_L1);
    c.credits = optional(o, "credits"_L1, [](const QJsonValue &v, QLatin1StringView k) {
        return listFrom<Usage::Credits::Credit>(v, k, decodeCredit);
    });
    return c;
}

Usage::Budget decodeBudget(const QJsonValue &value, QLatin1StringView key)
{
    const QJsonObject o = objectFrom(value, key);
    Usage::Budget b;
    b.percentPerDay = realFrom(required(o, "percentPerDay"_L1), "percentPerDay"_L1);
    b.percentPerHour = realFrom(required(o, "percentPerHour"_L1), "percentPerHour"_L1);
    b.secondsToReset = realFrom(required(o, "secondsToReset"_L1), "secondsToReset"_L1);
    b.remainingPercent = integerFrom(required(o, "remainingPercent"_L1), "remainingPercent"_L1);
    return b;
}

Usage::NotificationEvent decodeNotificationEvent(const QJsonObject &o)
{
    Usage::NotificationEvent e;
    e.key = textFrom(required(o, "key"_L1), "key"_L1);
    e.title = textFrom(required(o, "title"_L1), "title"_L1);
    e.body = textFrom(required(o, "body"_L1), "body"_L1);
    return e;
}

Usage decodeUsage(const QJsonObject &o)
{
    Usage u;
    u.schemaVersion = integerFrom(required(o, "schemaVersion"_L1), "schemaVersion"_L1);
    u.fetchedAt = realFrom(required(o, "fetchedAt"_L1), "fetchedAt"_L1);
    u.windows = windowsFrom(required(o, "windows"_L1), "windows"_L1);
    u.limitBuckets = optional(o, "limitBuckets"_L1, [](const QJsonValue &v, QLatin1StringView k) {
        return listFrom<Usage::LimitBucket>(v, k, decodeLimitBucket);
    });
    u.pressureCheck = optional(o, "pressureCheck"_L1, decodePressureCheck);
    u.planType = optional(o, "planType"_L1, textFrom);
    u.rateLimitReachedType = optional(o, "rateLimitReachedType"_L1, textFrom);
    u.spendControlReached = optional(o, "spendControlReached"_L1, boolFrom);
    u.resetCredits = optional(o, "resetCredits"_L1, decodeCredits);
    u.weeklyBudget = optional(o, "weeklyBudget"_L1, decodeBudget);
    u.notificationEvents = optional(o, "notificationEvents"_L1, [](const QJsonValue &v, QLatin1StringView k) {
        return listFrom<Usage::NotificationEvent>(v, k, decodeNotificationEvent);
    });
    return u;
}

// 0001-01-01 .. 9999-12-31: the instants a date can be shown for.
constexpr double resetsAtBound = 253402300800.0;

bool isValid(const Usage &u)
{
    if (u.schemaVersion != 1 || u.windows.isEmpty())
        return false;
    for (const Usage::Window &w : u.windows) {
        if (w.remainingPercent < 0 || w.remainingPercent > 100)
            return false;
        if (w.windowDurationMins < 1)
            return false;
        if (w.usedPercent < 0 || w.usedPercent > 100)
            return false;
        if (!std::isfinite(w.resetsAt) || std::fabs(w.resetsAt) >= resetsAtBound)
            return false;
    }
    return std::isfinite(u.fetchedAt);
}

} // namespace

Expected<Usage> Usage::decode(const QByteArray &bytes)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return DecodeError{parseError.errorString(), int(parseError.error)};
    if (const qsizetype fault = StrictSyntax(bytes).firstFault(); fault >= 0)
        return DecodeError{QStringLiteral("The document is not well-formed JSON at offset %1.").arg(fault), 1};
    if (!document.isObject())
        return DecodeError{QStringLiteral("The document is not a JSON object."), 1};

    Usage usage;
    try {
        usage = decodeUsage(document.object());
    } catch (const Refusal &refusal) {
        return DecodeError{refusal.message, 1};
    }
    if (!isValid(usage))
        return DecodeError{QStringLiteral("Invalid usage schema"), 1};
    return usage;
}

} // namespace tessaline
