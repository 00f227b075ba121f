#include "service/RequestReader.h"

#include "service/TextPatterns.h"

#include <QHash>
#include <QList>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>

namespace tessaline {

namespace {

using RE = QRegularExpression;
constexpr auto ci = RE::CaseInsensitiveOption;
constexpr auto cs = RE::NoPatternOption;
using text::sentenceCase;
using text::withStop;

const QString goalVerbs = QStringLiteral(
    "add|fix|implement|write|update|remove|rename|migrate|create|build|refactor|improve|"
    "document|optimi[sz]e|upgrade|replace|delete|move|convert|port|support|make|change|"
    "clean|rewrite|introduce|extract|split|merge|redesign|set|configure|enable|disable|"
    "bump|translate|deploy|integrate|handle|investigate|debug|explore|research|audit|"
    "review|moderni[sz]e|tidy|polish|speed|reduce|increase|drop|switch|wire|expose|"
    "generate|restructure|overhaul|simplify|standardi[sz]e|locali[sz]e|unify|deprecate|"
    "look|figure|find|dig|profile|revamp|streamline|rework|enhance|sort|correct|adjust|"
    "tweak|prevent|stop|allow|show|hide|display|return|log|cache|validate|parse|"
    "serialize|encrypt|send|store|persist|load|save|fetch|render|style|resize|limit|halt|reproduce");
// Words that open a prohibition ("don't remove the retry loop", "never log the password").
const QString prohibitionWords = QStringLiteral("don'?t|don’t|do not|never|without|avoid|keep");
// Verbs that also read as nouns ("the export", "sync/queue.rs"): a request only when a
// clause opens with them, never a place to split one.
const QString openingVerbs = QStringLiteral(
    "pin|unskip|catch|filter|use|refresh|retry|reset|restore|rotate|publish|release|schedule|notify|warn|skip|ignore|"
    "treat|map|mark|sync|wrap|print|emit|accept|reject|apply|import|export|install|uninstall|upload|download|backfill|"
    "squash|purge|archive|clear|flush|close|open|register|attach|detach|expand|collapse|shorten|raise|lower|pick|choose|"
    "select|turn|bring|put|pass");

// What the reading looks for, compiled once per thread.
struct Patterns {
    // Lines that were pasted rather than written.
    RE fence{QStringLiteral("^\\s*(?:```|~~~)"), cs};
    RE codeLine{QStringLiteral(
        "^(?:#include|#define|#!|import\\s|from\\s+\\S+\\s+import|package\\s|using\\s|def\\s|class\\s+\\w+|"
        "struct\\s|enum\\s|fn\\s|func\\s|function\\b|public\\s|private\\s|protected\\s|static\\s|"
        "const\\s|let\\s|var\\s|return\\b|if\\s*\\(|for\\s*\\(|while\\s*\\(|switch\\s*\\(|\\}?\\s*else\\b|"
        "try\\s*[:{]|catch\\s*\\(|@\\w+\\(?|</?[a-zA-Z][\\w-]*[\\s/>]|SELECT\\s|INSERT\\s|CREATE\\s+TABLE)"
        "|[;{}]\\s*+$|^[})\\]]++[;,)]*+$|=>\\s*+\\{?$|^[\\w.]++\\(.*\\)\\s*+;?$"), cs};
    RE logLine{QStringLiteral(
        "^\\[?\\d{4}-\\d{2}-\\d{2}[T ]\\d{2}:\\d{2}|^\\[?\\d{2}:\\d{2}:\\d{2}|"
        "^\\[?(?:ERROR|WARN|WARNING|INFO|DEBUG|TRACE|FATAL|CRITICAL)\\b|^[EWID]\\d{4} |"
        "^at\\s+[\\w$.<>]+\\s*\\(|^at\\s.*:\\d+:\\d+\\)?$|^File \".*\", line \\d+|"
        "^Traceback \\(most recent call last\\)|^#\\d+\\s+0x[0-9a-fA-F]+|^\\w*(?:Error|Exception)(?::|\\s*\\()|"
        "^panic|^thread '.*' panicked|^npm ERR!|^error(?:\\[E\\d+\\])?:|^\\S+:\\d+:\\d+: (?:error|warning|note):"),
        cs};
    RE transcriptLine{QStringLiteral(
        "^(?:User|Assistant|Human|AI|Codex|Claude|ChatGPT|System|Me|You)\\s*:|^\\$\\s+\\S|^>>>\\s|"
        "^[\\w.-]++@[\\w.-]++:[^$#]*+[$#]\\s|^PS [A-Za-z]:\\\\|^❯\\s"), cs};

    // Breaking prose into clauses.
    RE bullet{QStringLiteral("^\\s*+(?:[-*•+]|\\d++[.)])\\s++(?:\\[[ xX]\\]\\s++)?"), cs};
    RE sentenceEnd{QStringLiteral("(?<=[.!?])\\s++(?=\\S)|;\\s*+"), cs};
    // No match starts inside a run of spaces, only where one begins (or at a word), so a
    // long run is read once rather than once from each of its spaces.
    RE connector{QStringLiteral(
        "(?!(?<=\\s)\\s)\\s*+,?+\\s*+\\b(and also|and then|also|then|plus|as well as|additionally|in addition|"
        "while you(?:'re| are) at it|after that|afterwards|next(?=\\s*,)|separately|unrelated|another thing|on another note|"
        "as a separate (?:thing|task|job|change))\\b[,:]?+\\s*+"), ci};
    RE apartMarker{QStringLiteral("^(?:also|and also|plus|as well as|additionally|in addition|while you|separately|unrelated|"
                                  "another thing|on another note|as a separate)"), ci};
    RE verbJoin{QStringLiteral("(?!(?<=\\s)\\s)\\s*+(?:,\\s*+(?:and|but)|,|\\b(?:and|but))\\s++(?=(?:%1|test|verify|validate|check|run|ensure|confirm|%2)\\b(?![/.-]))")
                    .arg(goalVerbs, prohibitionWords), ci};
    RE filler{QStringLiteral(
        "(?:please|pls|also|then|and|but|so|now|just|only|simply|instead|rather|first|firstly|second|secondly|third|lastly|finally|"
        "can you|could you|would you|i want you to|i'd like you to|i would like you to|"
        "i need you to|we need to|need to|you should|we should|let's|lets|go ahead and|try to)\\b[\\s,:]*+"), ci};
    // What must not happen: a constraint on the job it belongs to, never a job of its own.
    RE prohibition{QStringLiteral(
        "^(?:%1|no (?:new|more|changes?)|nothing else|must not|mustn't|should ?n[o'’]t|shouldn't|preserve|retain|"
        "stay away from|refrain from|leave\\b[^.;\\n]{0,100}?\\b(?:alone|as is|as-is|unchanged|untouched|intact))\\b")
                        .arg(prohibitionWords), ci};
    RE goalStart{QStringLiteral("^(?:%1|%2)\\b(?![/.-])").arg(goalVerbs, openingVerbs), ci};
    RE validationStart{QStringLiteral(
        "^(?:test|verify|validate|check|run|ensure|confirm|make sure|prove|(?:load|smoke|stress|unit|e2e|integration)[ -]test)\\b"), ci};
    // A stop condition, as opposed to a request that starts with "stop" ("Stop the server from crashing").
    RE stopClauseStart{QStringLiteral(
        "^(?:give up\\b|(?:stop|halt)\\b(?:\\s*+(?:[,.;:!]|$)|\\s++(?:when|after|once|if|at|as soon as|there|here|before|and|then|"
        "early|now|immediately|unless)\\b))"), ci};
    // Steps of the job they follow: finding the cause, or doing something to "it".
    RE stepGoal{QStringLiteral(
        "^(?:find|figure|investigate|debug|reproduce|look|dig|profile|identify|understand|diagnose|trace|track down|work out)\\b"), ci};
    RE anaphoric{QStringLiteral(
        "^[\\w'-]++(?:\\s++(?:up|out|down|back|over|on|off|to))?+\\s++(?:it|this|that|them|these|those|the same)\\b"), ci};
    RE requestLike{QStringLiteral("\\b(?:should|could (?:we|you)|would (?:be|like|love)|needs? to|i want|i'd like|please|must)\\b"), ci};
    RE bareReference{QStringLiteral("^(?:that|this|those|these|it|them|so|too|as well)[\\s,.:;!]*+$"), ci};
    RE leadingReference{QStringLiteral("^(?:it|this|that|they|them|these|those|its|their|which|so|but|because)\\b"), ci};
    RE duration{QStringLiteral("^\\d+ (?:minutes|mins?|hours?)$"), ci};
    RE timeBox{QStringLiteral(
        "^(?:spend|take|use|time-?box|give (?:it|yourself)|allow|budget|no more than|at most|max)\\b|"
        "\\b(?:for|within|after)\\s++(?:at most\\s++)?+\\d++\\s*+(?:minutes|mins?|hours?)\\b"), ci};

    // Issue-style texts: a title line, and headed sections of context.
    RE markdownMarks{QStringLiteral("^\\s*+#{1,6}+\\s*+|^\\s*+(?:\\*\\*|__)|(?:\\*\\*|__)\\s*+$"), cs};
    RE titleTag{QStringLiteral(
        "^(?:\\[[^\\]]{1,24}+\\]\\s*+|(?:bug|feature(?: request)?|feat|fix|chore|docs|issue|request|enhancement|proposal|idea|"
        "question|ui|ux|api|frontend|backend)\\s*+[:/]\\s*+)"), ci};
    RE sectionHeader{QStringLiteral(
        "^(?:#{1,6}+|\\*\\*|__)?+\\s*+(steps to reproduce|to reproduce|how to reproduce|reproduction steps|reproduction|"
        "repro steps|repro|actual(?: behaviou?r| result| output)?|current(?:ly| behaviou?r)?|what happens|observed(?: behaviou?r)?|"
        "environment|versions?|system info(?:rmation)?|platform|logs?|log output|screenshots?|stack ?trace|traceback|"
        "additional (?:context|info(?:rmation)?)|context|expected(?: behaviou?r| result| output)?|what should happen|"
        "acceptance criteria|definition of done|done when|describe the bug|description|summary|proposal|problem|motivation)"
        "\\s*+(?:\\*\\*|__)?+\\s*+(?::|$)\\s*+(?:\\*\\*|__)?+(.*)$"), ci};
    RE testGoal{QStringLiteral("^(?:add|write|create|update|extend|cover)\\b[^,;]{0,40}?\\b(?:tests?|test cases?|specs?)\\b"), ci};

    // What a clause or the prose says about checking, stopping and keeping.
    RE validation{QStringLiteral(
        "\\b(?:tests?|testing|tested|unit tests?|specs?|verify|verified|validate|validation|"
        "check (?:that|it|whether|the output)|ctest|pytest|jest|cargo test|go test|npm test|make check|ci|"
        "passes|passing|pass|assert|expect(?:ed)? (?:output|result|behaviou?r)|should (?:return|print|show|output|display|be|give)|"
        "reproduce|repro|benchmark|acceptance|done when|expected\\s*+:|report back|report (?:your |the )?findings|make sure|ensure|confirm|compare (?:against|with)|"
        "lint|type-?check|compiles?|builds? (?:cleanly|without)|screenshot)\\b"), ci};
    RE filePath{QStringLiteral(
        "(?:^|[\\s(\"'`])((?:\\.{0,2}/)?[\\w.-]++/[\\w./-]*\\w)|(?<![\\w-])([\\w-]++\\.(?:c|cc|cpp|cxx|h|hh|hpp|py|js|mjs|ts|tsx|jsx|"
        "go|rs|java|kt|rb|php|cs|swift|m|mm|json|ya?ml|toml|ini|md|sql|sh|css|scss|html|qml|cmake|txt|proto|xml|lock))\\b"),
        ci};
    RE identifier{QStringLiteral(
        "`[^`\\n]++`|\\b[a-z]++[A-Z]\\w*+|\\b[A-Z][a-z0-9]++[A-Z]\\w*+|\\b[a-z][a-z0-9]*+_[a-z0-9_]++|"
        "\\b\\w++\\(\\)|\\b\\w++::\\w++|--[a-z][\\w-]++|\"[^\"\\n]{2,60}+\""), cs};
    RE namedThing{QStringLiteral(
        "\\bthe\\s++[\\w-]++\\s++(?:function|class|method|module|endpoint|component|page|screen|view|"
        "table|query|script|service|handler|route|hook|struct|file|directory|folder|package|crate|"
        "library|dialog|button|field|flag|option|command|column|job|test)\\b"), ci};
    RE stopCondition{QStringLiteral(
        "\\b(?:stop (?:when|after|once|if|at|as soon as)|until\\b|at most|no more than|time-?box(?:ed)?|"
        "within \\d+|limit (?:it |yourself )?to|report back|report (?:your |the )?findings|then stop|done when|"
        "give up|max(?:imum)? (?:of )?\\d+|\\d+ (?:minutes|mins?|hours?)\\b|write (?:up|down) (?:a|the) (?:summary|findings|plan)|"
        "summari[sz]e (?:the |your )?findings|before (?:changing|editing|touching|making changes)|don't change|do not change)"),
        ci};
    RE preserve{QStringLiteral(
        "\\b(?:keep|preserve|retain|don't (?:change|touch|break|modify)|do not (?:change|touch|break|modify)|"
        "without (?:changing|breaking|touching)|must not|backwards? compatib|leave\\b[^.;\\n]{0,100}?\\b(?:alone|as is|unchanged))"),
        ci};
};

// One compiled set per thread: the service reads on several threads at once, and a
// pattern's lazy compilation and match state are not shared across threads.
const Patterns &patterns()
{
    thread_local const Patterns p;
    return p;
}

// Where a line of an issue-style description sits: the request itself, context such as
// reproduction steps or the environment, or what the result should be.
enum class Section { Body, Context, Expected };

struct Clause {
    QString text;         // without leading politeness
    int sentence = -1;    // index into Analysis::sentences
    qsizetype offset = 0; // where the clause starts in its sentence
    int line = -1;
    bool bulleted = false;
    bool afterIndependentMarker = false; // "also", "separately", …
    bool stop = false;                   // "stop after …", "give up if …"
    Section section = Section::Body;
};

struct Analysis {
    QString redacted;
    int pastedLines = 0;
    QString prose;
    QString title;        // the first line of an issue-style text
    bool titleImperative = false;
    QStringList sentences;
    QList<Section> sentenceSections;
    QList<Clause> clauses;
    QList<Clause> goals;  // clauses that ask for something, the main request first
    QList<Clause> jobs;   // goals that are jobs of their own, not steps of the main one
    QSet<qint64> jobKeys; // clauseKey() of each job
    bool multipleGoals = false;
    QString goal;         // the main request in the user's words
    QString validationClause;
    QString stopClause;
    QString preserveClause;
    QList<Clause> prohibitions; // constraints, in order
    QStringList targets;
    int fileTargets = 0;
    int words = 0;
};

void splitLines(Analysis &a)
{
    const Patterns &p = patterns();
    QStringList prose;
    bool inFence = false;
    const QStringList lines = a.redacted.split(QLatin1Char('\n'));
    for (QString line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (rx::match(p.fence, line).hasMatch()) {
            inFence = !inFence;
            continue;
        }
        const QString t = line.trimmed();
        if (t.isEmpty()) {
            prose << QString();
            continue;
        }
        if (inFence || rx::match(p.codeLine, t).hasMatch() || rx::match(p.logLine, t).hasMatch()
            || rx::match(p.transcriptLine, t).hasMatch()) {
            ++a.pastedLines;
            continue;
        }
        prose << line;
    }
    // A lone look-alike line is quoted context, not a paste: keep it as prose.
    if (a.pastedLines < 3) {
        a.pastedLines = 0;
        prose.clear();
        for (QString line : lines) {
            if (line.endsWith(QLatin1Char('\r')))
                line.chop(1);
            if (!rx::match(p.fence, line).hasMatch())
                prose << line;
        }
    }
    a.prose = prose.join(QLatin1Char('\n')).trimmed();
}

QString stripFiller(const QString &s)
{
    const Patterns &p = patterns();
    // Matched in place, so a clause of a thousand "and"s is read once, not copied a
    // thousand times.
    qsizetype pos = 0;
    for (;;) {
        while (pos < s.size() && s[pos].isSpace())
            ++pos;
        const auto m = rx::match(p.filler, s, pos, RE::AnchorAtOffsetMatchOption);
        if (!m.hasMatch() || m.capturedLength() == 0)
            break;
        pos = m.capturedEnd();
    }
    return s.mid(pos).trimmed();
}

// Drops the connectors and punctuation a span ends with ("…, and also"), from the end.
QString dropTrailingJoin(QString t)
{
    static const QLatin1StringView joins[] = {
        QLatin1StringView("while you're at it"), QLatin1StringView("while you are at it"), QLatin1StringView("in addition"),
        QLatin1StringView("additionally"), QLatin1StringView("as well as"), QLatin1StringView("separately"),
        QLatin1StringView("unrelated"), QLatin1StringView("and also"), QLatin1StringView("and then"), QLatin1StringView("also"),
        QLatin1StringView("then"), QLatin1StringView("plus"), QLatin1StringView("and"), QLatin1StringView("or")};
    for (;;) {
        while (!t.isEmpty() && (t.back().isSpace() || QStringLiteral(",;:.(-").contains(t.back())))
            t.chop(1);
        bool dropped = false;
        for (const QLatin1StringView &j : joins) {
            const qsizetype at = t.size() - j.size();
            if (at >= 0 && QStringView(t).mid(at).compare(j, Qt::CaseInsensitive) == 0
                && (at == 0 || !(t[at - 1].isLetterOrNumber() || t[at - 1] == QLatin1Char('_')))) {
                t.truncate(at);
                dropped = true;
                break;
            }
        }
        if (!dropped)
            return t;
    }
}

Section sectionOf(const QString &header)
{
    static const RE expected{QStringLiteral("^(?:expected|what should happen|acceptance|definition of done|done when)"), ci};
    static const RE body{QStringLiteral("^(?:describe the bug|description|summary|proposal|problem|motivation|request|task|goal)"), ci};
    if (rx::match(expected, header).hasMatch())
        return Section::Expected;
    return rx::match(body, header).hasMatch() ? Section::Body : Section::Context;
}

int wordCount(const QString &text)
{
    return text::wordCount(text);
}

// An issue-style text opens with a short title line; the request is often in the body.
void findTitle(Analysis &a, const QStringList &lines, int &titleLine)
{
    const Patterns &p = patterns();
    QList<int> filled;
    for (int i = 0; i < lines.size() && filled.size() < 2; ++i)
        if (!lines[i].trimmed().isEmpty())
            filled << i;
    if (filled.size() < 2 || rx::match(p.bullet, lines[filled[0]]).hasMatch())
        return;
    QString t = lines[filled[0]];
    t = rx::removeAll(p.markdownMarks, t);
    t = t.trimmed();
    if (t.isEmpty() || wordCount(t) > 14 || QStringLiteral(".!?:;,").contains(t.back()) || rx::match(p.sectionHeader, t).hasMatch())
        return;
    a.title = t;
    QString request = t;
    request = rx::removeAll(p.titleTag, request);
    a.titleImperative = rx::match(p.goalStart, stripFiller(request)).hasMatch();
    titleLine = filled[0];
}

void splitClauses(Analysis &a)
{
    const Patterns &p = patterns();
    const QStringList lines = a.prose.split(QLatin1Char('\n'));
    int titleLine = -1;
    findTitle(a, lines, titleLine);

    Section section = Section::Body;
    bool sectionHasLines = false;
    for (int i = 0; i < lines.size(); ++i) {
        if (i == titleLine)
            continue;
        QString line = lines[i];
        if (line.trimmed().isEmpty()) {
            // A blank line ends a section once it has had some lines.
            if (sectionHasLines)
                section = Section::Body;
            continue;
        }
        // A line of marks and punctuation ("---", "- ") holds no clause.
        if (wordCount(line) == 0) {
            sectionHasLines = true;
            continue;
        }
        const auto b = rx::match(p.bullet, line);
        const bool bulleted = b.hasMatch();
        if (bulleted)
            line = line.mid(b.capturedLength());
        Section lineSection = section;
        if (!bulleted) {
            const auto h = rx::match(p.sectionHeader, line.trimmed());
            if (h.hasMatch()) {
                const QString rest = h.captured(2).trimmed();
                if (rest.isEmpty()) {
                    section = sectionOf(h.captured(1));
                    sectionHasLines = false;
                    continue;
                }
                lineSection = sectionOf(h.captured(1));
                line = rest;
            }
        }
        sectionHasLines = true;

        for (const QString &sentence : rx::split(p.sentenceEnd, line)) {
            const int si = static_cast<int>(a.sentences.size());
            a.sentences << sentence;
            a.sentenceSections << lineSection;
            Clause base;
            base.sentence = si;
            base.line = i;
            base.bulleted = bulleted;
            base.section = lineSection;
            // A stop condition keeps its whole sentence: "stop after 45 minutes and write down what you tried".
            const QString lead = stripFiller(sentence);
            if (rx::match(p.stopClauseStart, lead).hasMatch()) {
                Clause c = base;
                c.text = lead;
                c.stop = true;
                a.clauses.append(c);
                continue;
            }
            // Connectors split a sentence; remember which pieces an "also"-like word introduced.
            struct Piece {
                qsizetype start, end;
                bool marker;
            };
            QList<Piece> pieces;
            qsizetype last = 0;
            bool marker = false;
            rx::forEach(p.connector, sentence, [&](const QRegularExpressionMatch &m) {
                pieces.append({last, m.capturedStart(), marker});
                const QString word = m.captured(1).toLower();
                marker = rx::match(p.apartMarker, word).hasMatch();
                last = m.capturedEnd();
            });
            pieces.append({last, sentence.size(), marker});
            for (const Piece &piece : std::as_const(pieces)) {
                const QString pieceText = stripFiller(sentence.mid(piece.start, piece.end - piece.start));
                if (rx::match(p.stopClauseStart, pieceText).hasMatch()) {
                    Clause c = base;
                    c.text = pieceText;
                    c.offset = piece.start;
                    c.stop = true;
                    a.clauses.append(c);
                    continue;
                }
                QList<qsizetype> starts{piece.start}, ends;
                rx::forEach(p.verbJoin, sentence.mid(piece.start, piece.end - piece.start), [&](const QRegularExpressionMatch &m) {
                    ends << piece.start + m.capturedStart();
                    starts << piece.start + m.capturedEnd();
                });
                ends << piece.end;
                bool carry = false;
                for (qsizetype k = 0; k < starts.size(); ++k) {
                    const QString part = sentence.mid(starts[k], ends[k] - starts[k]);
                    Clause c = base;
                    c.text = stripFiller(part);
                    // "As well as that, set up Sentry": the marker belongs to what follows "that".
                    if (wordCount(c.text) == 0 || rx::match(p.bareReference, c.text).hasMatch()) {
                        carry = carry || (k == 0 && piece.marker);
                        continue;
                    }
                    qsizetype lead = 0;
                    while (lead < part.size() && part[lead].isSpace())
                        ++lead;
                    c.offset = starts[k] + lead;
                    c.afterIndependentMarker = (k == 0 && piece.marker) || std::exchange(carry, false);
                    a.clauses.append(c);
                }
            }
            // "… and fix the upload test while you're at it": a marker at the end of a
            // sentence belongs to the clause before it.
            const Piece &tail = pieces.constLast();
            if (pieces.size() > 1 && tail.marker && wordCount(sentence.mid(tail.start)) == 0
                && !a.clauses.isEmpty() && a.clauses.constLast().sentence == si)
                a.clauses.last().afterIndependentMarker = true;
        }
    }

    bool explicitValidation = false;
    bool firstClause = a.title.isEmpty();
    for (const Clause &c : std::as_const(a.clauses)) {
        // Only the opening clause of a text may be its request and still read like a check
        // ("Make sure the tokens expire", "Check why the job did not run").
        const bool opening = std::exchange(firstClause, false);
        if (c.section == Section::Context)
            continue;
        if (c.section == Section::Expected) {
            if (a.validationClause.isEmpty())
                a.validationClause = c.text;
            continue;
        }
        if (c.stop) {
            if (a.stopClause.isEmpty())
                a.stopClause = c.text;
            continue;
        }
        // "Don't merge anything. Just investigate …": the prohibition binds the job and
        // leaves the opening to the request after it.
        if (rx::match(p.prohibition, c.text).hasMatch()) {
            a.prohibitions.append(c);
            firstClause = opening;
            continue;
        }
        const bool validationLike = rx::match(p.validationStart, c.text).hasMatch()
            || (rx::match(p.testGoal, c.text).hasMatch() && (!a.goals.isEmpty() || !a.title.isEmpty()));
        if (validationLike && !opening) {
            // An explicit check ("run the tests", "add a test") beats an implied one.
            if (!explicitValidation)
                a.validationClause = c.text;
            explicitValidation = true;
            continue;
        }
        // After "also", "separately" and the like, a fault named outright is another job.
        const bool markedStatement = !a.goals.isEmpty() && c.afterIndependentMarker && !rx::match(p.leadingReference, c.text).hasMatch();
        if (validationLike || rx::match(p.goalStart, c.text).hasMatch() || markedStatement) {
            if (a.preserveClause.isEmpty() && !a.goals.isEmpty() && rx::match(p.preserve, c.text).hasMatch())
                a.preserveClause = c.text;
            a.goals.append(c);
            continue;
        }
        if (a.validationClause.isEmpty() && !a.goals.isEmpty() && rx::match(p.validation, c.text).hasMatch())
            a.validationClause = c.text;
        // "It takes 12 minutes" describes; "spend at most 30 minutes" bounds the run.
        const auto stopMatch = rx::match(p.stopCondition, c.text);
        if (a.stopClause.isEmpty() && stopMatch.hasMatch()
            && (!rx::match(p.duration, stopMatch.captured()).hasMatch() || rx::match(p.timeBox, c.text).hasMatch()))
            a.stopClause = c.text;
        if (a.preserveClause.isEmpty() && rx::match(p.preserve, c.text).hasMatch())
            a.preserveClause = c.text;
    }
}

// Words that say what a clause is about, cut to a stem so "archive" meets "archived".
QSet<QString> subjectWords(const QString &text, bool opensWithVerb = true)
{
    static const QSet<QString> common = {
        QStringLiteral("that"), QStringLiteral("this"), QStringLiteral("with"), QStringLiteral("from"),
        QStringLiteral("into"), QStringLiteral("when"), QStringLiteral("then"), QStringLiteral("also"),
        QStringLiteral("should"), QStringLiteral("instead"), QStringLiteral("every"), QStringLiteral("each"),
        QStringLiteral("only"), QStringLiteral("just"), QStringLiteral("some"), QStringLiteral("more"),
        QStringLiteral("them"), QStringLiteral("they"), QStringLiteral("their"), QStringLiteral("there"),
        QStringLiteral("make"), QStringLiteral("sure"), QStringLiteral("thing"), QStringLiteral("things"),
        QStringLiteral("please"), QStringLiteral("same"), QStringLiteral("after"), QStringLiteral("before"),
        QStringLiteral("about"), QStringLiteral("where"), QStringLiteral("which"), QStringLiteral("what"),
        QStringLiteral("have"), QStringLiteral("need"), QStringLiteral("needs"), QStringLiteral("still"),
        QStringLiteral("right"), QStringLiteral("away"), QStringLiteral("like"), QStringLiteral("other")};
    QSet<QString> words;
    bool first = true;
    // Words of four or more letters, digits and '_', opening with a letter.
    const auto letter = [](char32_t c) { return QChar::isLetter(c); };
    const auto part = [](char32_t c) { return QChar::isLetterOrNumber(c) || c == U'_'; };
    text::forEachRun(text, letter, part, [&](qsizetype start, qsizetype end) {
        if (end - start < 4)
            return;
        const QString w = text.mid(start, end - start).toLower();
        // The opening verb says what to do, not what it is done to.
        if ((std::exchange(first, false) && opensWithVerb) || common.contains(w))
            return;
        words.insert(w.left(5));
    });
    return words;
}

qint64 clauseKey(const Clause &c)
{
    return (qint64(c.sentence) << 32) | qint64(c.offset);
}

// A clause as the user wrote it, up to where the next job or stop condition in its
// sentence begins; the main request keeps what leads up to it in its sentence.
QString clauseSpan(const Analysis &a, const Clause &c, bool fromSentenceStart)
{
    const QString &s = a.sentences[c.sentence];
    qsizetype end = s.size();
    for (const Clause &o : a.clauses) {
        if (o.sentence != c.sentence || o.offset <= c.offset)
            continue;
        if (o.stop || a.jobKeys.contains(clauseKey(o)))
            end = std::min(end, o.offset);
    }
    const qsizetype start = fromSentenceStart ? 0 : c.offset;
    QString t = s.mid(start, end - start);
    t = stripFiller(dropTrailingJoin(t));
    return t.isEmpty() ? c.text : t;
}

// The main request in the user's words, and which of the other goals are jobs of their
// own. When unsure, a goal stays a step of the main job: splitting off part of the job
// harms the run more than leaving a second job in it.
void chooseGoal(Analysis &a)
{
    const Patterns &p = patterns();
    QSet<QString> subject = subjectWords(QStringLiteral("x ") + a.title);
    if (!a.goals.isEmpty()) {
        const Clause &main = a.goals.constFirst();
        subject.unite(subjectWords(main.text));
        // "Add an archived flag to projects:" followed by a list: the items are its steps.
        const bool introducesList = a.sentences[main.sentence].trimmed().endsWith(QLatin1Char(':'));
        int markedSentence = -1; // "Also investigate the slow build and add caching" is one more job, not two
        for (qsizetype i = 1; i < a.goals.size(); ++i) {
            const Clause &g = a.goals[i];
            if (g.afterIndependentMarker)
                markedSentence = -1;
            if ((introducesList && g.bulleted) || g.sentence == markedSentence || rx::match(p.anaphoric, g.text).hasMatch()
                || (rx::match(p.stepGoal, g.text).hasMatch() && !g.afterIndependentMarker))
                continue;
            if (g.afterIndependentMarker)
                markedSentence = g.sentence;
            const QSet<QString> words = subjectWords(g.text, rx::match(p.goalStart, g.text).hasMatch());
            const bool shared = words.intersects(subject);
            subject.unite(words);
            // Said apart on purpose ("also …", a list of their own): a job of its own.
            if (shared && !g.afterIndependentMarker && !g.bulleted)
                continue;
            a.jobs.append(g);
        }
        const bool marked = std::any_of(a.jobs.begin(), a.jobs.end(), [](const Clause &c) { return c.afterIndependentMarker; });
        const qsizetype bulletJobs = std::count_if(a.jobs.begin(), a.jobs.end(), [](const Clause &c) { return c.bulleted; })
            + (main.bulleted ? 1 : 0);
        a.multipleGoals = !a.jobs.isEmpty() && (marked || bulletJobs >= 2 || a.jobs.size() >= 2);
        if (!a.multipleGoals)
            a.jobs.clear();
        for (const Clause &j : std::as_const(a.jobs))
            a.jobKeys.insert(clauseKey(j));
    }

    QString body;
    if (!a.goals.isEmpty()) {
        const Clause &main = a.goals.constFirst();
        body = clauseSpan(a, main, true);
        // "Fix this." after the description of the fault: the fault is the request.
        const bool leansBack = rx::match(p.anaphoric, main.text).hasMatch() || wordCount(main.text) <= 2;
        if (a.title.isEmpty() && leansBack && main.sentence > 0)
            body = sentenceCase(a.sentences.constFirst()) + QStringLiteral(": ") + body;
    } else if (!a.titleImperative) {
        // No sentence asks outright: the description itself, with the first sentence that
        // says what it should do.
        qsizetype first = -1;
        for (qsizetype i = 0; i < a.sentences.size() && first < 0; ++i)
            if (a.sentenceSections[i] != Section::Context && wordCount(a.sentences[i]) > 0
                && !rx::match(p.prohibition, stripFiller(a.sentences[i])).hasMatch())
                first = i;
        for (qsizetype i = 0; i < a.sentences.size() && first < 0; ++i)
            if (a.sentenceSections[i] != Section::Context && wordCount(a.sentences[i]) > 0)
                first = i;
        if (first < 0 && !a.sentences.isEmpty())
            first = 0;
        if (first >= 0) {
            body = a.sentences[first].trimmed();
            for (qsizetype i = first + 1; i < a.sentences.size(); ++i)
                if (a.sentenceSections[i] == Section::Body && rx::match(p.requestLike, a.sentences[i]).hasMatch()) {
                    body = withStop(body) + QLatin1Char(' ') + a.sentences[i].trimmed();
                    break;
                }
        }
    }
    a.goal = a.title.isEmpty() ? body : body.isEmpty() ? a.title : a.title + QStringLiteral(": ") + body;
    // Whatever the text looks like, a description with words gets a Goal in its words.
    if (wordCount(a.goal) == 0) {
        a.goal.clear();
        for (const QString &line : a.redacted.split(QLatin1Char('\n')))
            if (wordCount(line) > 0) {
                a.goal = line.trimmed();
                break;
            }
    }

    // The Stop line never carries the request itself.
    const QString stop = a.stopClause.simplified().toLower();
    const QString main = a.goals.isEmpty() ? QString() : a.goals.constFirst().text.simplified().toLower();
    if (!stop.isEmpty() && ((!main.isEmpty() && stop.contains(main)) || a.goal.simplified().toLower().contains(stop)))
        a.stopClause.clear();
}

void findTargets(Analysis &a)
{
    const Patterns &p = patterns();
    // Targets come from the title and the clauses, less the prohibitions: what a
    // prohibition names is where not to work.
    QSet<qint64> prohibited;
    for (const Clause &c : std::as_const(a.prohibitions))
        prohibited.insert(clauseKey(c));
    QStringList parts{a.title};
    for (const Clause &c : std::as_const(a.clauses))
        if (!prohibited.contains(clauseKey(c)))
            parts << c.text;
    const QString text = parts.join(QLatin1Char('\n'));
    QSet<QString> seen;
    auto add = [&](const QString &t, bool file) {
        if (t.isEmpty() || seen.contains(t))
            return;
        seen.insert(t);
        a.targets << t;
        if (file)
            ++a.fileTargets;
    };
    rx::forEach(p.filePath, text, [&](const QRegularExpressionMatch &m) {
        add(m.captured(1).isEmpty() ? m.captured(2) : m.captured(1), true);
    });
    rx::forEach(p.identifier, text, [&](const QRegularExpressionMatch &m) { add(m.captured(), false); });
    rx::forEach(p.namedThing, text, [&](const QRegularExpressionMatch &m) { add(m.captured(), false); });
}

// Every prohibition binds this run, unless it was said in the sentence of a job put off
// for later, whose deferred item already carries it.
QStringList constraintsOf(const Analysis &a)
{
    QHash<int, qsizetype> firstJob; // sentence -> offset of its first deferred job
    for (const Clause &j : std::as_const(a.jobs))
        if (!firstJob.contains(j.sentence) || firstJob[j.sentence] > j.offset)
            firstJob[j.sentence] = j.offset;
    QStringList constraints;
    for (const Clause &c : std::as_const(a.prohibitions)) {
        const bool withDeferredJob = firstJob.contains(c.sentence) && firstJob[c.sentence] < c.offset;
        if (!withDeferredJob)
            constraints << withStop(sentenceCase(c.text));
    }
    if (constraints.isEmpty() && !a.preserveClause.isEmpty())
        constraints << withStop(sentenceCase(a.preserveClause));
    return constraints;
}

} // namespace

ReadRequest RequestReader::read(const QString &text)
{
    const Patterns &p = patterns();
    Analysis a;
    a.redacted = text;
    splitLines(a);
    splitClauses(a);
    chooseGoal(a);
    findTargets(a);

    ReadRequest r;
    r.prose = a.prose;
    r.pastedLines = a.pastedLines;
    r.words = wordCount(a.prose);
    r.goal = a.goal;
    r.multipleGoals = a.multipleGoals;
    r.jobCount = static_cast<int>(a.jobs.size());
    for (const Clause &job : std::as_const(a.jobs)) {
        if (r.jobs.size() == ReadRequest::maxJobTexts)
            break;
        r.jobs << clauseSpan(a, job, false);
    }
    r.constraints = constraintsOf(a);
    r.validation = a.validationClause;
    r.stop = a.stopClause;
    r.targets = a.targets;
    r.fileTargets = a.fileTargets;
    const QString words = text::withoutMarks(a.prose);
    r.namesCheck = rx::contains(p.validation, words);
    r.namesStop = rx::contains(p.stopCondition, words);
    return r;
}

} // namespace tessaline
