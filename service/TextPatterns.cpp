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

namespace {

bool privateUse(char32_t c)
{
    return (c >= 0xE000 && c <= 0xF8FF) || c >= 0xF0000;
}

} // namespace

ReadingCopy::ReadingCopy(const QString &original)
{
    QHash<QStringView, char32_t> standIns;
    // The BMP's private-use area first (one unit each), then plane 15's (two).
    char32_t next = 0xE000;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, original);
    m_text.reserve(original.size());
    qsizetype start = 0;
    for (qsizetype end = finder.toNextBoundary(); end != -1; start = end, end = finder.toNextBoundary()) {
        const QStringView cluster = QStringView(original).mid(start, end - start);
        qsizetype n = 0;
        if (cluster.size() <= 2 && !privateUse(codePointAt(cluster, 0, &n))) {
            m_text += cluster;
            continue;
        }
        char32_t &standIn = standIns[cluster];
        if (standIn == 0) {
            standIn = next;
            next = next == 0xF8FF ? 0xF0000 : next + 1;
            m_originals.insert(standIn, cluster.toString());
        }
        const char16_t units[2] = {QChar::highSurrogate(standIn), QChar::lowSurrogate(standIn)};
        if (QChar::requiresSurrogates(standIn))
            m_text += QStringView(units, 2);
        else
            m_text += QChar(char16_t(standIn));
    }
}

QString ReadingCopy::restore(const QString &read) const
{
    if (m_originals.isEmpty())
        return read;
    QString out;
    out.reserve(read.size());
    for (qsizetype i = 0, n = 0; i < read.size(); i += n) {
        const char32_t c = codePointAt(read, i, &n);
        const auto original = m_originals.constFind(c);
        if (original != m_originals.cend())
            out += *original;
        else
            out += QStringView(read).mid(i, n);
    }
    return out;
}

} // namespace tessaline::text
