#include "service/TaskLinter.h"

#include "service/Redactor.h"
#include "service/TextPatterns.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QSet>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <cmath>

namespace tessaline {

namespace {

using RE = QRegularExpression;
constexpr auto ci = RE::CaseInsensitiveOption;
constexpr auto cs = RE::NoPatternOption;

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

// Everything the rules look for, compiled once.
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
    // The lookbehind starts a match only where a run of spaces begins, so a long run is
    // read once rather than once from each of its spaces.
    RE connector{QStringLiteral(
        "(?<!\\s)\\s*+,?+\\s*+\\b(and also|and then|also|then|plus|as well as|additionally|in addition|"
        "while you(?:'re| are) at it|after that|afterwards|next(?=\\s*,)|separately|unrelated|another thing|on another note|"
        "as a separate (?:thing|task|job|change))\\b[,:]?+\\s*+"), ci};
    RE apartMarker{QStringLiteral("^(?:also|and also|plus|as well as|additionally|in addition|while you|separately|unrelated|"
                                  "another thing|on another note|as a separate)"), ci};
    RE verbJoin{QStringLiteral("(?<!\\s)\\s*+(?:,\\s*+(?:and|but)|,|\\b(?:and|but))\\s++(?=(?:%1|test|verify|validate|check|run|ensure|confirm|%2)\\b(?![/.-]))")
                    .arg(goalVerbs, prohibitionWords), ci};
    RE filler{QStringLiteral(
        "(?:please|pls|also|then|and|but|so|now|just|only|simply|instead|rather|first|firstly|second|secondly|third|lastly|finally|"
        "can you|could you|would you|i want you to|i'd like you to|i would like you to|"
        "i need you to|we need to|need to|you should|we should|let's|lets|go ahead and|try to)\\b[\\s,:]*+"), ci};
    RE stopStart{QStringLiteral("^(?:stop|give up|halt)\\b"), ci};
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

    // The rules.
    RE validation{QStringLiteral(
        "\\b(?:tests?|testing|tested|unit tests?|specs?|verify|verified|validate|validation|"
        "check (?:that|it|whether|the output)|ctest|pytest|jest|cargo test|go test|npm test|make check|ci|"
        "passes|passing|pass|assert|expect(?:ed)? (?:output|result|behaviou?r)|should (?:return|print|show|output|display|be|give)|"
        "reproduce|repro|benchmark|acceptance|done when|expected\\s*+:|report back|report (?:your |the )?findings|make sure|ensure|confirm|compare (?:against|with)|"
        "lint|type-?check|compiles?|builds? (?:cleanly|without)|screenshot)\\b"), ci};
    RE vague{QStringLiteral(
        "\\b(?:improve|clean\\s*+up|cleanup|tidy(?:\\s*+up)?|refactor|optimi[sz]e|moderni[sz]e|polish|"
        "enhance|rework|revamp|streamline|overhaul|sort out|make (?:it|things|this|the code|everything) better|"
        "fix (?:everything|all the (?:things|bugs|issues)|whatever))\\b"), ci};
    RE vagueUniversal{QStringLiteral(
        "\\b(?:improve|clean\\s*+up|tidy(?:\\s*+up)?|refactor|optimi[sz]e|moderni[sz]e|polish|"
        "rework|revamp|overhaul|fix)\\s++(?:everything|all\\b|it all|the (?:entire|whole)\\b)"), ci};
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
    RE measurable{QStringLiteral("\\b\\d++(?:\\.\\d++)?+\\s*+(?:ms|milliseconds?|s|seconds?|%|percent|mb|kb|gb|x|fps|rps)\\b"), ci};
    RE repoWide{QStringLiteral(
        "\\b(?:entire|whole|full) (?:code ?base|repo(?:sitory)?|project|monorepo|source tree|app(?:lication)?)\\b|"
        "\\b(?:across|throughout) the (?:code ?base|repo(?:sitory)?|project|app(?:lication)?)\\b|"
        "\\b(?:all|every) (?:the )?(?:files?|modules?|packages?|services?|components?|source files?|directories|folders|crates)\\b|"
        "\\bcode ?base-wide\\b|\\brepo(?:sitory)?-wide\\b|\\beverywhere\\b|\\ball (?:of )?the code\\b"), ci};
    RE investigate{QStringLiteral(
        "\\b(?:investigate|explore|look into|figure out|research|find out|dig into|audit (?:the|all|our|every|whether)|understand why|"
        "work out why|get to the bottom of|root[- ]cause|why (?:is|does|do|are|did))\\b"), ci};
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

    // Size hints.
    RE heavyWork{QStringLiteral(
        "\\b(?:migrate|migration|rewrite|re-?architect|redesign|overhaul|from scratch|"
        "new (?:service|app|application|system|framework|backend|frontend|engine))\\b|"
        "(?:^|[.;!?]\\s*+|\\b(?:to|and|then|please)\\s++)port\\s++(?:the|this|our|it|\\w++)\\b[^.;\\n]{0,40}?\\bto\\b"),
        ci | RE::MultilineOption};
    RE featureWork{QStringLiteral("\\b(?:implement|build (?:a|an)|integrate|introduce|feature|refactor|support for|end[- ]to[- ]end)\\b"), ci};
    RE smallWork{QStringLiteral(
        "\\b(?:typo|spelling|rename|bump|one[- ]line|single line|comment|wording|log message|version number)\\b"), ci};
};

// One compiled set per thread: the service lints on several threads at once, and a
// pattern's lazy compilation and match state are not shared across threads.
const Patterns &patterns()
{
    thread_local const Patterns p;
    return p;
}

const QStringList sizeCodes = {QStringLiteral("tiny"), QStringLiteral("small"), QStringLiteral("medium"),
                               QStringLiteral("large"), QStringLiteral("huge")};
enum Size { Tiny, Small, Medium, Large, Huge };
enum Band { Blocked, Critical, Tight, Moderate, Healthy, Unknown };
const QStringList bandCodes = {QStringLiteral("blocked"), QStringLiteral("critical"), QStringLiteral("tight"),
                               QStringLiteral("moderate"), QStringLiteral("healthy"), QStringLiteral("unknown")};

// Cuts a text to at most n user-perceived characters, never inside one.
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

QString duration(double seconds)
{
    const qint64 minutes = static_cast<qint64>(std::floor(seconds / 60.0));
    if (minutes < 1)
        return QStringLiteral("under a minute");
    if (minutes < 60)
        return QStringLiteral("%1 min").arg(minutes);
    if (minutes < 24 * 60) {
        const qint64 h = minutes / 60, m = minutes % 60;
        return m ? QStringLiteral("%1 h %2 min").arg(h).arg(m) : QStringLiteral("%1 h").arg(h);
    }
    const qint64 d = minutes / (24 * 60), h = (minutes / 60) % 24;
    return h ? QStringLiteral("%1 d %2 h").arg(d).arg(h) : QStringLiteral("%1 d").arg(d);
}

Band bandOf(const CheckQuota &q)
{
    std::optional<qint64> m;
    for (const auto &v : {q.fiveHourRemainingPercent, q.weeklyRemainingPercent})
        if (v)
            m = m ? std::min(*m, *v) : *v;
    if (!m)
        return Unknown;
    if (*m < 1)
        return Blocked;
    if (*m < 16)
        return Critical;
    if (*m < 36)
        return Tight;
    if (*m < 66)
        return Moderate;
    return Healthy;
}

QString windowFigure(const char *name, const std::optional<qint64> &percent, const std::optional<double> &seconds)
{
    QString s = QStringLiteral("%1 %2% left").arg(QLatin1String(name)).arg(*percent);
    if (seconds)
        s += QStringLiteral(" (resets in %1)").arg(duration(*seconds));
    return s;
}

QString quotaClause(const CheckQuota &q)
{
    QStringList parts;
    if (q.fiveHourRemainingPercent)
        parts << windowFigure("five-hour window", q.fiveHourRemainingPercent, q.fiveHourSecondsToReset);
    if (q.weeklyRemainingPercent)
        parts << windowFigure("weekly window", q.weeklyRemainingPercent, q.weeklySecondsToReset);
    if (parts.isEmpty())
        return QStringLiteral("No quota figures came with the request");
    if (parts.size() == 1)
        parts << (q.fiveHourRemainingPercent ? QStringLiteral("no weekly figure") : QStringLiteral("no five-hour figure"));
    return sentenceCase(parts.join(QStringLiteral(", ")));
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
    QStringList secretKinds;
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

// The code point at i and its length in UTF-16 units.
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

// Runs of letters and digits (with ', _ and - inside), by hand: a description of 8,000
// one-letter words would otherwise make 8,000 match objects each time it is counted.
template <typename F>
void forEachWord(QStringView text, bool (*starts)(char32_t), bool (*continues)(char32_t), F &&f)
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
        while (i < text.size()) {
            const char32_t c = codePointAt(text, i, &n);
            if (!continues(c))
                break;
            i += n;
        }
        f(start, i);
    }
}

bool letterOrNumber(char32_t c) { return QChar::isLetterOrNumber(c); }
bool wordPart(char32_t c) { return QChar::isLetterOrNumber(c) || c == U'\'' || c == U'_' || c == U'-'; }

int wordCount(const QString &text)
{
    int n = 0;
    forEachWord(text, letterOrNumber, wordPart, [&](qsizetype, qsizetype) { ++n; });
    return n;
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
    forEachWord(text, letter, part, [&](qsizetype start, qsizetype end) {
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

QString secretMessage(const QStringList &kinds)
{
    return QStringLiteral("It contains what looks like %1; whatever you send an agent can end up in logs and transcripts.")
        .arg(kinds.join(QStringLiteral(" and ")));
}

QString lintMessage(const QString &code, const Analysis &a, const QString &vagueWord)
{
    if (code == QLatin1String("secret"))
        return secretMessage(a.secretKinds);
    if (code == QLatin1String("pasted_code"))
        return QStringLiteral("%1 lines read as pasted code, log output or a chat transcript, which spends context without saying what to do.")
            .arg(a.pastedLines);
    if (code == QLatin1String("multiple_goals"))
        return QStringLiteral("It asks for %1 separate things; one run that chases all of them is hard to validate and easy to abandon halfway.")
            .arg(a.jobs.size() + 1);
    if (code == QLatin1String("repo_wide"))
        return QStringLiteral("It reaches across the whole repository, so the agent reads and changes far more than one goal needs.");
    if (code == QLatin1String("vague_scope"))
        return QStringLiteral("\"%1\" says that something should change but not what or where; the agent will pick a target for you.")
            .arg(vagueWord);
    if (code == QLatin1String("open_ended"))
        return QStringLiteral("It asks for an investigation without saying when to stop, so the run can spend quota without an answer.");
    return QStringLiteral("Nothing says how to tell that the result works: no test, command or expected behaviour.");
}

TaskLint makeLint(const QString &code, const QString &message)
{
    struct Text { const char *code, *title, *fix; };
    static const Text texts[] = {
        {"secret", "Credential in the description",
         "Remove it, rotate it if it was real, and point the agent at an environment variable or secret store instead."},
        {"pasted_code", "Pasted code, logs or transcript",
         "Keep the few lines that matter (the error and its first frames) and name the file or command that produces the rest."},
        {"multiple_goals", "Several goals in one task",
         "Keep the first goal for this run and make separate tasks of the others (listed under deferred items)."},
        {"repo_wide", "Repository-wide scope",
         "Name the module, directory or files to change first; extend to the rest in later runs."},
        {"vague_scope", "Vague scope",
         "Name the file, function or behaviour to change and what the result should look like."},
        {"open_ended", "Open-ended investigation",
         "Add a stop condition: a time box, the question to answer, or \"report findings before changing code\"."},
        {"no_validation", "No way to validate",
         "Say how to check the result: the test to add or run, the command that must pass, or the output you expect."},
    };
    for (const Text &t : texts)
        if (code == QLatin1String(t.code))
            return {code, QString::fromUtf8(t.title), message, QString::fromUtf8(t.fix)};
    Q_UNREACHABLE();
}

} // namespace

QJsonObject TaskAssessment::toJson() const
{
    QJsonArray lintArray;
    for (const TaskLint &l : lints)
        lintArray.append(QJsonObject{{QStringLiteral("code"), l.code},
                                     {QStringLiteral("title"), l.title},
                                     {QStringLiteral("message"), l.message},
                                     {QStringLiteral("fix"), l.fix}});
    return QJsonObject{
        {QStringLiteral("decision"), decision},
        {QStringLiteral("quota"), QJsonObject{{QStringLiteral("band"), band}, {QStringLiteral("reason"), reason}}},
        {QStringLiteral("taskSize"), taskSize},
        {QStringLiteral("lints"), lintArray},
        {QStringLiteral("taskShape"), QJsonObject{{QStringLiteral("scope"), shape.scope},
                                                  {QStringLiteral("direction"), shape.direction},
                                                  {QStringLiteral("preserve"), shape.preserve},
                                                  {QStringLiteral("validation"), shape.validation},
                                                  {QStringLiteral("stop"), shape.stop}}},
        {QStringLiteral("defer"), QJsonArray::fromStringList(deferred)},
        {QStringLiteral("taskPacket"), taskPacket},
        {QStringLiteral("reservePolicy"), reservePolicy},
    };
}

namespace {

// The packet: the shape, the deferred items, a note when a credential was removed, and the
// request itself, without credentials and within the client's limit.
QString packetText(const TaskAssessment &r, bool credentialRemoved, const QString &redacted)
{
    QString packet = QStringLiteral("Goal: %1\n\nScope: %2\nDirection: %3\nPreserve: %4\nValidate: %5\nStop: %6\n")
                         .arg(r.goal, r.shape.scope, r.shape.direction, r.shape.preserve, r.shape.validation,
                              r.shape.stop);
    if (!r.deferred.isEmpty())
        packet += QStringLiteral("\nNot in this run: %1.\n").arg(r.deferred.join(QStringLiteral("; ")));
    if (credentialRemoved)
        packet += QStringLiteral("\nA credential was removed from the request; use the environment or secret store instead.\n");
    const qsizetype room = TaskAssessment::maxPacketCharacters - graphemeCount(packet) - 20;
    if (room > 0)
        packet += QStringLiteral("\nRequest:\n") + clip(redacted, room);
    return packet;
}

// The answer when a pattern failed while reading the (already redacted) text: no rule can
// be trusted, so nothing is judged but the quota; the whole text is the request, and the
// run starts with a plan. Uses no pattern itself.
TaskAssessment unreadAnswer(const CheckRequest &request, const Redaction &redaction)
{
    TaskAssessment r;
    const Band band = bandOf(request.quota);
    r.band = bandCodes[band];
    r.decision = band == Blocked ? QStringLiteral("wait_for_reset") : QStringLiteral("plan_first");
    r.reason = quotaClause(request.quota)
        + (band == Blocked ? QStringLiteral("; a window is used up, so wait for its reset before starting.")
                           : QStringLiteral("; the description could not be read in full, so plan it before spending quota on edits."));
    r.taskSize = sizeCodes[Medium];
    r.reservePolicy = QStringLiteral("high");
    if (!redaction.kinds.isEmpty())
        r.lints << makeLint(QStringLiteral("secret"), secretMessage(redaction.kinds));
    for (const QString &line : redaction.text.split(QLatin1Char('\n')))
        if (wordCount(line) > 0) {
            r.goal = withStop(clip(line.trimmed(), 300));
            break;
        }
    if (r.goal.isEmpty())
        r.goal = QStringLiteral("The request below.");
    r.shape.scope = r.goal;
    r.shape.direction = QStringLiteral("Read the code involved and write a short plan (files, steps, risks) before editing; start once the plan is agreed.");
    r.shape.preserve = QStringLiteral("Existing behaviour, public interfaces and passing tests outside the goal.");
    r.shape.validation = QStringLiteral("Add or update a test that fails before the change and passes after it, then run the whole test suite.");
    r.shape.stop = QStringLiteral("Stop when the goal is met and validated; report anything left undone.");
    r.taskPacket = packetText(r, !redaction.kinds.isEmpty(), redaction.text);
    return r;
}

TaskAssessment assessRead(const CheckRequest &request, const Redaction &redaction)
{
    const Patterns &p = patterns();
    Analysis a;
    a.redacted = redaction.text;
    a.secretKinds = redaction.kinds;
    splitLines(a);
    splitClauses(a);
    chooseGoal(a);
    findTargets(a);
    a.words = wordCount(a.prose);

    // Lints, most serious first.
    QStringList codes;
    if (!a.secretKinds.isEmpty())
        codes << QStringLiteral("secret");
    if (a.pastedLines >= 3)
        codes << QStringLiteral("pasted_code");
    const bool multipleGoals = a.multipleGoals;
    if (multipleGoals)
        codes << QStringLiteral("multiple_goals");
    // The lint words are plain English: read them from the prose without combining marks,
    // which can double a text's length without adding a word.
    QString words;
    words.reserve(a.prose.size());
    for (const QChar c : std::as_const(a.prose))
        if (c.category() != QChar::Mark_NonSpacing && c.category() != QChar::Mark_Enclosing)
            words += c;
    const bool repoWide = rx::match(p.repoWide, words).hasMatch();
    if (repoWide)
        codes << QStringLiteral("repo_wide");
    const auto vagueMatch = rx::match(p.vague, words);
    const bool vague = vagueMatch.hasMatch()
        && (rx::match(p.vagueUniversal, words).hasMatch()
            || (a.targets.isEmpty() && !rx::match(p.measurable, words).hasMatch()));
    if (vague)
        codes << QStringLiteral("vague_scope");
    const bool investigation = rx::match(p.investigate, words).hasMatch();
    const bool hasStop = rx::match(p.stopCondition, words).hasMatch();
    const bool openEnded = investigation && !hasStop;
    if (openEnded)
        codes << QStringLiteral("open_ended");

    // Size: words of prose set the base, the kind of work and the lints move it.
    int score = a.words <= 12 ? 0 : a.words <= 40 ? 1 : a.words <= 100 ? 2 : a.words <= 250 ? 4 : 6;
    if (rx::match(p.heavyWork, words).hasMatch())
        score += 2;
    else if (rx::match(p.featureWork, words).hasMatch())
        score += 1;
    if (rx::match(p.smallWork, words).hasMatch())
        score -= 1;
    if (repoWide)
        score += 2;
    if (multipleGoals)
        score += std::min<int>(3, static_cast<int>(a.jobs.size()));
    if (vague)
        score += 1;
    if (openEnded)
        score += 1;
    if (a.fileTargets >= 4)
        score += 1;
    const Size size = score <= 0 ? Tiny : score == 1 ? Small : score <= 3 ? Medium : score <= 5 ? Large : Huge;

    const bool validated = rx::match(p.validation, words).hasMatch();
    // A bounded investigation is checked by what it reports when it stops.
    if (!validated && size >= Small && !(investigation && hasStop))
        codes << QStringLiteral("no_validation");

    // Decision: quota first, then the shape of the work.
    const Band band = bandOf(request.quota);
    QString decision;
    QString why;
    const QString sizeWord = sizeCodes[size];
    if (band == Blocked) {
        decision = QStringLiteral("wait_for_reset");
        const CheckQuota &q = request.quota;
        const bool fiveHourOut = q.fiveHourRemainingPercent && *q.fiveHourRemainingPercent < 1;
        const auto &seconds = fiveHourOut ? q.fiveHourSecondsToReset : q.weeklySecondsToReset;
        why = QStringLiteral("the %1 window is used up, so wait for its reset%2 before starting")
                  .arg(fiveHourOut ? QStringLiteral("five-hour") : QStringLiteral("weekly"),
                       seconds ? QStringLiteral(" in ") + duration(*seconds) : QString());
    } else if (band == Critical && size >= Large) {
        decision = QStringLiteral("wait_for_reset");
        why = QStringLiteral("that is too little for a %1 task, so wait for the reset before starting").arg(sizeWord);
    } else if ((band == Critical && size == Medium) || (band == Tight && size >= Large) || (band == Moderate && size == Huge)) {
        decision = QStringLiteral("scope_down");
        why = QStringLiteral("a %1 task does not fit in that, so do a smaller first part now").arg(sizeWord);
    } else if (vague || ((openEnded || repoWide) && size >= Medium)) {
        // A vague request gets a plan whatever its size: the agent would pick the target.
        decision = QStringLiteral("plan_first");
        const QString what = openEnded ? QStringLiteral("open-ended") : vague ? QStringLiteral("vague") : QStringLiteral("repository-wide");
        why = QStringLiteral("the task is %1 and %2, so plan it before spending quota on edits").arg(sizeWord, what);
    } else if (size == Huge) {
        decision = QStringLiteral("plan_first");
        why = QStringLiteral("the task is huge, so plan it in parts before spending quota on edits");
    } else {
        decision = QStringLiteral("start_now");
        why = band == Unknown ? QStringLiteral("judged on the description alone, a %1 task can start now").arg(sizeWord)
                              : QStringLiteral("a %1 task fits, so start now").arg(sizeWord);
    }

    TaskAssessment r;
    r.decision = decision;
    r.band = bandCodes[band];
    r.reason = quotaClause(request.quota) + QStringLiteral("; ") + why + QLatin1Char('.');
    r.taskSize = sizeWord;
    int policy = size <= Small ? 0 : size == Medium ? 1 : 2;
    if (band == Tight || band == Critical)
        policy = std::min(policy + 1, 2);
    r.reservePolicy = QStringList{QStringLiteral("light"), QStringLiteral("standard"), QStringLiteral("high")}[policy];

    const QString vagueWord = vagueMatch.captured().toLower();
    for (const QString &code : std::as_const(codes)) {
        if (r.lints.size() == TaskAssessment::maxLints)
            break;
        r.lints << makeLint(code, lintMessage(code, a, vagueWord));
    }

    for (const Clause &job : std::as_const(a.jobs)) {
        if (r.deferred.size() == TaskAssessment::maxDeferred)
            break;
        const QString item = clip(sentenceCase(clauseSpan(a, job, false)), 200);
        if (!item.isEmpty())
            r.deferred << item;
    }

    // The shape restates the task as the agent should run it.
    QString goal = clip(sentenceCase(a.goal), 300);
    if (goal.isEmpty())
        goal = QStringLiteral("The request below");
    // Investigation defaults apply when the goal kept for this run is the investigation.
    const bool goalInvestigates = openEnded && rx::match(p.investigate, goal).hasMatch();
    QString scope = decision == QLatin1String("scope_down") ? QStringLiteral("The first working increment of: ") + goal : goal;
    // Name where to work, unless the goal already says it.
    QStringList elsewhere;
    for (const QString &t : std::as_const(a.targets))
        if (!goal.contains(t) && elsewhere.size() < 6)
            elsewhere << t;
    if (!elsewhere.isEmpty())
        scope += QStringLiteral(", only in ") + clip(elsewhere.join(QStringLiteral(", ")), 200);
    scope = withStop(scope);
    if (repoWide)
        scope += QStringLiteral(" Limit this run to one module or directory named first.");
    r.shape.scope = scope;
    r.goal = withStop(goal);

    if (decision == QLatin1String("wait_for_reset"))
        r.shape.direction = QStringLiteral("Do not start yet: wait for the quota window to reset, then run this task.");
    else if (decision == QLatin1String("plan_first"))
        r.shape.direction = goalInvestigates
            ? QStringLiteral("Investigate first and report the cause with evidence; write a short plan before changing code.")
            : QStringLiteral("Read the code involved and write a short plan (files, steps, risks) before editing; start once the plan is agreed.");
    else if (decision == QLatin1String("scope_down"))
        r.shape.direction = QStringLiteral("Deliver the smallest working increment of the goal and checkpoint it; leave the rest for a later run.");
    else
        r.shape.direction = QStringLiteral("Make the smallest change that reaches the goal and follow the patterns of the code around it.");

    // Every prohibition binds this run, unless it was said in the sentence of a job put off
    // for later, whose deferred item already carries it.
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
    r.shape.preserve = !constraints.isEmpty()
        ? clip(constraints.join(QLatin1Char(' ')), 300)
        : QStringLiteral("Existing behaviour, public interfaces and passing tests outside the goal.");
    r.shape.validation = !a.validationClause.isEmpty()
        ? withStop(clip(sentenceCase(a.validationClause), 300))
        : size == Tiny ? QStringLiteral("Build, re-read the diff and run the tests that cover the touched code.")
                       : QStringLiteral("Add or update a test that fails before the change and passes after it, then run the whole test suite.");
    if (!a.stopClause.isEmpty())
        r.shape.stop = withStop(clip(sentenceCase(a.stopClause), 300));
    else if (goalInvestigates)
        r.shape.stop = QStringLiteral("Stop once the cause is found and report it with evidence, or after 30 minutes without a lead.");
    else if (!r.deferred.isEmpty())
        r.shape.stop = QStringLiteral("Stop when this goal is met and validated; do not start the deferred items.");
    else
        r.shape.stop = QStringLiteral("Stop when the goal is met and validated; report anything left undone.");

    r.taskPacket = packetText(r, !a.secretKinds.isEmpty(), a.redacted);
    return r;
}

} // namespace

TaskAssessment TaskLinter::assess(const CheckRequest &request)
{
    Redaction redaction;
    try {
        redaction = Redactor::redact(request.task);
    } catch (const rx::Failure &) {
        // Not knowing which part is a credential, send none of the text back.
        redaction.text = QStringLiteral("[redacted]");
        redaction.kinds = {QStringLiteral("text that could not be checked for credentials")};
    }
    try {
        return assessRead(request, redaction);
    } catch (const rx::Failure &) {
        return unreadAnswer(request, redaction);
    }
}

} // namespace tessaline
