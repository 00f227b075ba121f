#pragma once

#include <QRegularExpression>
#include <QStringList>
#include <QStringView>

namespace tessaline::rx {

// PCRE2 gave up on a match (its match limit or JIT stack). Qt reports that as an invalid
// match with no hit; read as "no match" it would let a credential or a clause boundary
// slip through silently, so every match made through these helpers throws this instead.
struct Failure {
};

QRegularExpressionMatch match(const QRegularExpression &re, const QString &text, qsizetype from = 0,
                              QRegularExpression::MatchOptions options = QRegularExpression::NoMatchOption);
bool contains(const QRegularExpression &re, const QString &text);

// Calls f(match) for each non-overlapping match, left to right.
template <typename F>
void forEach(const QRegularExpression &re, const QString &text, F &&f)
{
    auto it = re.globalMatch(text);
    while (it.hasNext())
        f(it.next());
    if (!it.isValid())
        throw Failure{};
}

QStringList split(const QRegularExpression &re, const QString &text);
QString removeAll(const QRegularExpression &re, QString text);

} // namespace tessaline::rx
