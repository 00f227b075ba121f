#include "service/TaskLinter.h"

#include "service/PacketWriter.h"
#include "service/QuotaWording.h"
#include "service/Redactor.h"
#include "service/RequestReader.h"
#include "service/TextPatterns.h"

#include <QJsonArray>
#include <QRegularExpression>

#include <algorithm>

// The rules: lints, size, decision and reserve policy, judged on a request that
// Redactor has cleaned and RequestReader has read; PacketWriter writes the answer's packet.

namespace tessaline {

namespace {

using RE = QRegularExpression;
constexpr auto ci = RE::CaseInsensitiveOption;
using Band = QuotaWording::Band;

// The words the lints and the size look for in the prose, compiled once per thread.
struct Patterns {
    RE vague{QStringLiteral(
        "\\b(?:improve|clean\\s*+up|cleanup|tidy(?:\\s*+up)?|refactor|optimi[sz]e|moderni[sz]e|polish|"
        "enhance|rework|revamp|streamline|overhaul|sort out|make (?:it|things|this|the code|everything) better|"
        "fix (?:everything|all the (?:things|bugs|issues)|whatever))\\b"), ci};
    RE vagueUniversal{QStringLiteral(
        "\\b(?:improve|clean\\s*+up|tidy(?:\\s*+up)?|refactor|optimi[sz]e|moderni[sz]e|polish|"
        "rework|revamp|overhaul|fix)\\s++(?:everything|all\\b|it all|the (?:entire|whole)\\b)"), ci};
    RE measurable{QStringLiteral("\\b\\d++(?:\\.\\d++)?+\\s*+(?:ms|milliseconds?|s|seconds?|%|percent|mb|kb|gb|x|fps|rps)\\b"), ci};
    RE repoWide{QStringLiteral(
        "\\b(?:entire|whole|full) (?:code ?base|repo(?:sitory)?|project|monorepo|source tree|app(?:lication)?)\\b|"
        "\\b(?:across|throughout) the (?:code ?base|repo(?:sitory)?|project|app(?:lication)?)\\b|"
        "\\b(?:all|every) (?:the )?(?:files?|modules?|packages?|services?|components?|source files?|directories|folders|crates)\\b|"
        "\\bcode ?base-wide\\b|\\brepo(?:sitory)?-wide\\b|\\beverywhere\\b|\\ball (?:of )?the code\\b"), ci};
    RE investigate{QStringLiteral(
        "\\b(?:investigate|explore|look into|figure out|research|find out|dig into|audit (?:the|all|our|every|whether)|understand why|"
        "work out why|get to the bottom of|root[- ]cause|why (?:is|does|do|are|did))\\b"), ci};
    RE heavyWork{QStringLiteral(
        "\\b(?:migrate|migration|rewrite|re-?architect|redesign|overhaul|from scratch|"
        "new (?:service|app|application|system|framework|backend|frontend|engine))\\b|"
        "(?:^|[.;!?]\\s*+|\\b(?:to|and|then|please)\\s++)port\\s++(?:the|this|our|it|\\w++)\\b[^.;\\n]{0,40}?\\bto\\b"),
        ci | RE::MultilineOption};
    RE featureWork{QStringLiteral("\\b(?:implement|build (?:a|an)|integrate|introduce|feature|refactor|support for|end[- ]to[- ]end)\\b"), ci};
    RE smallWork{QStringLiteral(
        "\\b(?:typo|spelling|rename|bump|one[- ]line|single line|comment|wording|log message|version number)\\b"), ci};
};

const Patterns &patterns()
{
    thread_local const Patterns p;
    return p;
}

enum Size { Tiny, Small, Medium, Large, Huge };
const QStringList sizeCodes = {QStringLiteral("tiny"), QStringLiteral("small"), QStringLiteral("medium"),
                               QStringLiteral("large"), QStringLiteral("huge")};

QString secretMessage(const QStringList &kinds)
{
    return QStringLiteral("It contains what looks like %1; whatever you send an agent can end up in logs and transcripts.")
        .arg(kinds.join(QStringLiteral(" and ")));
}

QString lintMessage(const QString &code, const ReadRequest &a, const QStringList &secretKinds, const QString &vagueWord)
{
    if (code == QLatin1String("secret"))
        return secretMessage(secretKinds);
    if (code == QLatin1String("pasted_code"))
        return QStringLiteral("%1 lines read as pasted code, log output or a chat transcript, which spends context without saying what to do.")
            .arg(a.pastedLines);
    if (code == QLatin1String("multiple_goals"))
        return QStringLiteral("It asks for %1 separate things; one run that chases all of them is hard to validate and easy to abandon halfway.")
            .arg(a.jobCount + 1);
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

// The answer's goal, shape and packet, written from the plan over the redacted text.
TaskAssessment withPacket(TaskAssessment r, PacketPlan plan, const Redaction &redaction)
{
    plan.credentialRemoved = !redaction.kinds.isEmpty();
    plan.request = redaction.text;
    const Packet packet = PacketWriter::write(plan);
    r.goal = packet.goal;
    r.shape = packet.shape;
    r.taskPacket = packet.text;
    return r;
}

TaskAssessment judge(const CheckRequest &request, const Redaction &redaction)
{
    const Patterns &p = patterns();
    const ReadRequest a = RequestReader::read(redaction.text);
    const QString words = text::withoutMarks(a.prose);

    // Lints, most serious first.
    QStringList codes;
    if (!redaction.kinds.isEmpty())
        codes << QStringLiteral("secret");
    if (a.pastedLines >= 3)
        codes << QStringLiteral("pasted_code");
    if (a.multipleGoals)
        codes << QStringLiteral("multiple_goals");
    const bool repoWide = rx::contains(p.repoWide, words);
    if (repoWide)
        codes << QStringLiteral("repo_wide");
    const auto vagueMatch = rx::match(p.vague, words);
    const bool vague = vagueMatch.hasMatch()
        && (rx::contains(p.vagueUniversal, words) || (a.targets.isEmpty() && !rx::contains(p.measurable, words)));
    if (vague)
        codes << QStringLiteral("vague_scope");
    const bool investigation = rx::contains(p.investigate, words);
    const bool openEnded = investigation && !a.namesStop;
    if (openEnded)
        codes << QStringLiteral("open_ended");

    // Size: words of prose set the base, the kind of work and the lints move it.
    int score = a.words <= 12 ? 0 : a.words <= 40 ? 1 : a.words <= 100 ? 2 : a.words <= 250 ? 4 : 6;
    if (rx::contains(p.heavyWork, words))
        score += 2;
    else if (rx::contains(p.featureWork, words))
        score += 1;
    if (rx::contains(p.smallWork, words))
        score -= 1;
    if (repoWide)
        score += 2;
    if (a.multipleGoals)
        score += std::min(3, a.jobCount);
    if (vague)
        score += 1;
    if (openEnded)
        score += 1;
    if (a.fileTargets >= 4)
        score += 1;
    const Size size = score <= 0 ? Tiny : score == 1 ? Small : score <= 3 ? Medium : score <= 5 ? Large : Huge;

    // A bounded investigation is checked by what it reports when it stops.
    if (!a.namesCheck && size >= Small && !(investigation && a.namesStop))
        codes << QStringLiteral("no_validation");

    // Decision: quota first, then the shape of the work.
    const Band band = QuotaWording::band(request.quota);
    QString decision;
    QString why;
    const QString sizeWord = sizeCodes[size];
    if (band == QuotaWording::Blocked) {
        decision = QStringLiteral("wait_for_reset");
        why = QuotaWording::usedUp(request.quota);
    } else if (band == QuotaWording::Critical && size >= Large) {
        decision = QStringLiteral("wait_for_reset");
        why = QStringLiteral("that is too little for a %1 task, so wait for the reset before starting").arg(sizeWord);
    } else if ((band == QuotaWording::Critical && size == Medium) || (band == QuotaWording::Tight && size >= Large)
               || (band == QuotaWording::Moderate && size == Huge)) {
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
        why = band == QuotaWording::Unknown ? QStringLiteral("judged on the description alone, a %1 task can start now").arg(sizeWord)
                                            : QStringLiteral("a %1 task fits, so start now").arg(sizeWord);
    }

    TaskAssessment r;
    r.decision = decision;
    r.band = QuotaWording::bandCode(band);
    r.reason = QuotaWording::figures(request.quota) + QStringLiteral("; ") + why + QLatin1Char('.');
    r.taskSize = sizeWord;
    int policy = size <= Small ? 0 : size == Medium ? 1 : 2;
    if (band == QuotaWording::Tight || band == QuotaWording::Critical)
        policy = std::min(policy + 1, 2);
    r.reservePolicy = QStringList{QStringLiteral("light"), QStringLiteral("standard"), QStringLiteral("high")}[policy];

    const QString vagueWord = vagueMatch.captured().toLower();
    for (const QString &code : std::as_const(codes)) {
        if (r.lints.size() == TaskAssessment::maxLints)
            break;
        r.lints << makeLint(code, lintMessage(code, a, redaction.kinds, vagueWord));
    }
    for (const QString &job : a.jobs) {
        if (r.deferred.size() == TaskAssessment::maxDeferred)
            break;
        const QString item = text::clip(text::sentenceCase(job), 200);
        if (!item.isEmpty())
            r.deferred << item;
    }

    PacketPlan plan;
    plan.goal = a.goal;
    plan.decision = decision;
    plan.tiny = size == Tiny;
    plan.repoWide = repoWide;
    // Investigation defaults apply when the goal kept for this run is the investigation.
    plan.investigation = openEnded && rx::contains(p.investigate, a.goal);
    plan.targets = a.targets;
    plan.constraints = a.constraints;
    plan.validation = a.validation;
    plan.stop = a.stop;
    plan.deferred = r.deferred;
    return withPacket(std::move(r), plan, redaction);
}

// The answer when a pattern failed while reading the (already redacted) text: no rule can
// be trusted, so nothing is judged but the quota; the whole text is the request, and the
// run starts with a plan. Uses no pattern itself.
TaskAssessment unreadAnswer(const CheckRequest &request, const Redaction &redaction)
{
    TaskAssessment r;
    const Band band = QuotaWording::band(request.quota);
    const bool blocked = band == QuotaWording::Blocked;
    r.band = QuotaWording::bandCode(band);
    r.decision = blocked ? QStringLiteral("wait_for_reset") : QStringLiteral("plan_first");
    r.reason = QuotaWording::figures(request.quota) + QStringLiteral("; ")
        + (blocked ? QuotaWording::usedUp(request.quota)
                   : QStringLiteral("the description could not be read in full, so plan it before spending quota on edits"))
        + QLatin1Char('.');
    r.taskSize = sizeCodes[Medium];
    r.reservePolicy = QStringLiteral("high");
    if (!redaction.kinds.isEmpty())
        r.lints << makeLint(QStringLiteral("secret"), secretMessage(redaction.kinds));
    PacketPlan plan;
    for (const QString &line : redaction.text.split(QLatin1Char('\n')))
        if (text::wordCount(line) > 0) {
            plan.goal = line;
            break;
        }
    plan.decision = r.decision;
    return withPacket(std::move(r), plan, redaction);
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

TaskAssessment assessRead(const CheckRequest &request)
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
        return judge(request, redaction);
    } catch (const rx::Failure &) {
        return unreadAnswer(request, redaction);
    }
}

} // namespace

TaskAssessment TaskLinter::assess(const CheckRequest &request)
{
    // The rules read a copy in which no character is longer than two units: a client that
    // piles combining marks on 8,000 letters then costs what 8,000 plain letters cost.
    const text::ReadingCopy copy(request.task);
    CheckRequest read = request;
    read.task = copy.text();
    TaskAssessment r = assessRead(read);
    for (QString *s : {&r.goal, &r.shape.scope, &r.shape.direction, &r.shape.preserve, &r.shape.validation,
                       &r.shape.stop, &r.taskPacket})
        *s = copy.restore(*s);
    for (QString &s : r.deferred)
        s = copy.restore(s);
    for (TaskLint &l : r.lints)
        l.message = copy.restore(l.message);
    return r;
}

} // namespace tessaline
