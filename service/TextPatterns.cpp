#include "service/TextPatterns.h"

namespace tessaline::rx {

QRegularExpressionMatch match(const QRegularExpression &re, const QString &text, qsizetype from,
                              QRegularExpression::MatchOptions options)
{
    QRegularExpressionMatch m = re.match(text, from, QRegularExpression::NormalMatch, options);
    if (!m.isValid())
        throw Failure{};
    return m;
}

bool contains(const QRegularExpression &re, const QString &text)
{
    return match(re, text).hasMatch();
}

QStringList split(const QRegularExpression &re, const QString &text)
{
    QStringList parts;
    qsizetype last = 0;
    forEach(re, text, [&](const QRegularExpressionMatch &m) {
        if (m.capturedStart() > last)
            parts << text.mid(last, m.capturedStart() - last);
        last = m.capturedEnd();
    });
    if (last < text.size())
        parts << text.mid(last);
    return parts;
}

QString removeAll(const QRegularExpression &re, QString text)
{
    QString out;
    qsizetype last = 0;
    forEach(re, text, [&](const QRegularExpressionMatch &m) {
        out += QStringView(text).mid(last, m.capturedStart() - last);
        last = m.capturedEnd();
    });
    if (last == 0)
        return text;
    out += QStringView(text).mid(last);
    return out;
}

} // namespace tessaline::rx
