#include "service/TextPatterns.h"

#include <QTextBoundaryFinder>

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

namespace tessaline::text {

QString clip(const QString &text, qsizetype n)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    qsizetype pos = 0;
    while (count < n) {
        const qsizetype next = finder.toNextBoundary();
        if (next == -1)
            return text;
        pos = next;
        ++count;
    }
    if (pos >= text.size())
        return text;
    return text.left(pos).trimmed() + QStringLiteral("…");
}

QString sentenceCase(QString s)
{
    s = s.trimmed();
    while (!s.isEmpty() && QStringLiteral(".,;:!?").contains(s.back()))
        s.chop(1);
    if (!s.isEmpty())
        s[0] = s[0].toUpper();
    return s;
}

QString withStop(const QString &s)
{
    if (s.isEmpty() || QStringLiteral(".!?…").contains(s.back()))
        return s;
    return s + QLatin1Char('.');
}

namespace {

char32_t codePointAt(QStringView text, qsizetype i, qsizetype *length)
{
    const QChar c = text[i];
    if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
        *length = 2;
        return QChar::surrogateToUcs4(c, text[i + 1]);
    }
    *length = 1;
    return c.unicode();
}

bool letterOrNumber(char32_t c) { return QChar::isLetterOrNumber(c); }
bool wordPart(char32_t c) { return QChar::isLetterOrNumber(c) || c == U'\'' || c == U'_' || c == U'-'; }

} // namespace

void forEachRun(QStringView text, bool (*starts)(char32_t), bool (*continues)(char32_t),
                const std::function<void(qsizetype, qsizetype)> &f)
{
    qsizetype i = 0;
    while (i < text.size()) {
        qsizetype n;
        if (!starts(codePointAt(text, i, &n))) {
            i += n;
            continue;
        }
        const qsizetype start = i;
        i += n;
        while (i < text.size() && continues(codePointAt(text, i, &n)))
            i += n;
        f(start, i);
    }
}

int wordCount(QStringView text)
{
    int n = 0;
    forEachRun(text, letterOrNumber, wordPart, [&](qsizetype, qsizetype) { ++n; });
    return n;
}

QString withoutMarks(const QString &prose)
{
    QString words;
    words.reserve(prose.size());
    for (const QChar c : prose)
        if (c.category() != QChar::Mark_NonSpacing && c.category() != QChar::Mark_Enclosing)
            words += c;
    return words;
}

} // namespace tessaline::text
