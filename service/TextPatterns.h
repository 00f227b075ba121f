#pragma once

#include <QRegularExpression>
#include <QStringList>
#include <QStringView>

#include <QHash>

#include <functional>

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

namespace tessaline::text {

// Cut to at most n user-perceived characters, never inside one, with "…" when cut.
QString clip(const QString &text, qsizetype n);
// Trimmed, without closing punctuation, opening with a capital.
QString sentenceCase(QString s);
// With a full stop, unless it already ends like a sentence.
QString withStop(const QString &s);
// Words: runs of letters and digits, with ', _ and - inside.
int wordCount(QStringView text);
// The prose without combining marks: the words the rules look for are plain English, and
// marks can double a text's length without adding a word.
QString withoutMarks(const QString &prose);
// Calls f(start, end) for each run of code points that opens with one `starts` accepts and
// goes on while `continues` accepts; by hand, so counting 8,000 one-letter words makes no
// 8,000 match objects.
void forEachRun(QStringView text, bool (*starts)(char32_t), bool (*continues)(char32_t),
                const std::function<void(qsizetype, qsizetype)> &f);

// The description as the rules read it: every user-perceived character longer than two
// UTF-16 units (a letter under a pile of combining marks, an emoji sequence) stands as one
// private-use code point, so the rules read at most two units per character however long
// the characters a client sends; every text made from the copy is turned back with
// restore(). A private-use character of the original stands for itself the same way, so
// restore() never mistakes one for a stand-in.
class ReadingCopy {
public:
    explicit ReadingCopy(const QString &original);
    const QString &text() const { return m_text; }
    QString restore(const QString &read) const;

private:
    QString m_text;
    QHash<char32_t, QString> m_originals;
};

} // namespace tessaline::text
