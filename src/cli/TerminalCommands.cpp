#include "cli/TerminalCommands.h"

#include "check/CheckTransport.h"
#include "check/ResultWords.h"
#include "check/TaskCheck.h"
#include "cli/StatusReport.h"
#include "platform/SingleInstance.h"
#include "quota/QuotaText.h"
#include "reserve/ProtectedRun.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QFile>

#include <cstdio>

namespace tessaline {

namespace {

const QString statusCommand = QStringLiteral("status");
const QString checkCommand = QStringLiteral("check");

const char *const statusHelp =
    "Usage: tessaline status [--json | --format text|json|waybar|brief]\n"
    "Print the Codex quota as the window states it: the pressure sentence and the 5-hour\n"
    "and weekly windows with their resets. Answers from the running Tessaline when there is\n"
    "one, otherwise reads the quota once through the helper.\n"
    "  --json             one JSON object: fiveHour and weekly {remainingPercent, resetsAt},\n"
    "                     pressure, band, and run {state, title} during a protected run\n"
    "  --format waybar    one line for a waybar custom module (text, tooltip, class, percentage)\n"
    "  --format brief     the windows in a few words, for tmux or another status line\n"
    "Exit status: 0 with figures, 1 when the quota could not be read, 2 on bad usage.\n";

const char *const checkHelp =
    "Usage: tessaline check [--packet | --json] [FILE]\n"
    "Check a task description (FILE, or standard input when FILE is absent or -) with the\n"
    "task-check service, exactly as the window's \"Check task\" does, and print the verdict,\n"
    "the validation reserve, the lints and the task packet.\n"
    "  --packet   print only the task packet (tessaline check --packet task.md | codex exec -)\n"
    "  --json     print the service's answer as received, once validated\n"
    "Exit status: 0 START NOW, 3 SCOPE DOWN, 4 PLAN FIRST, 5 WAIT FOR RESET, 1 no usable\n"
    "answer (unreachable or unavailable), 2 not sent (bad usage, unreadable file, no quota,\n"
    "empty or too long description), 6 --packet and the answer has no packet.\n";

bool wantsHelp(const QStringList &arguments)
{
    return arguments.contains(QStringLiteral("-h")) || arguments.contains(QStringLiteral("--help"));
}

void write(QIODevice *device, const QString &text)
{
    if (device)
        device->write(text.toUtf8() + '\n');
}

void writeBytes(QIODevice *device, const QByteArray &bytes)
{
    if (device)
        device->write(bytes + '\n');
}

double now()
{
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
}

// One helper run, waited for here: the reader reports through the event loop.
std::pair<std::optional<Usage>, std::optional<QString>> readOnce(const QuotaReader::Options &options)
{
    std::optional<std::pair<std::optional<Usage>, std::optional<QString>>> answer;
    QEventLoop loop;
    QuotaReader::read(
        [&answer, &loop](std::optional<Usage> usage, std::optional<QString> message) {
            answer.emplace(std::move(usage), std::move(message));
            loop.quit();
        },
        options);
    if (!answer)
        loop.exec();
    return *answer;
}

int usageError(TerminalCommands::Context &context, const QString &error)
{
    QString sentence = error;
    if (sentence.endsWith(QLatin1Char('.')))
        sentence.chop(1);
    write(context.err, sentence + QStringLiteral("; see tessaline --help."));
    return TerminalCommands::notSent;
}

int status(const QStringList &arguments, TerminalCommands::Context &context)
{
    if (wantsHelp(arguments))
        return context.out->write(statusHelp), TerminalCommands::startNow;
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Print a JSON object."));
    const QCommandLineOption format(QStringLiteral("format"), QStringLiteral("text, json, waybar or brief."),
                                    QStringLiteral("format"), QStringLiteral("text"));
    parser.addOptions({json, format});
    if (!parser.parse(arguments))
        return usageError(context, parser.errorText());
    const QString chosen = parser.isSet(json) ? QStringLiteral("json") : parser.value(format);
    if (!parser.positionalArguments().isEmpty())
        return usageError(context, QStringLiteral("status takes no file"));
    if (!QStringList{"text", "json", "waybar", "brief"}.contains(chosen))
        return usageError(context, QStringLiteral("--format takes text, json, waybar or brief, not \"%1\"").arg(chosen));

    // The running copy's latest reading, when there is one; otherwise one helper run.
    std::optional<StatusReport> report;
    if (const std::optional<QByteArray> line =
            SingleInstance(context.instanceName).askStatus(context.instanceTimeoutMs))
        report = StatusReport::fromJson(*line);
    if (!report) {
        const auto [usage, message] = readOnce(context.quota);
        if (!usage) {
            const QString sentence = QuotaText::failure(message);
            write(context.err, sentence);
            if (chosen == QLatin1String("waybar"))
                writeBytes(context.out, StatusReport::waybarFailure(sentence));
            return TerminalCommands::noAnswer;
        }
        report = StatusReport::from(*usage);
    }
    if (chosen == QLatin1String("json"))
        writeBytes(context.out, report->json());
    else if (chosen == QLatin1String("waybar"))
        writeBytes(context.out, report->waybar(now()));
    else if (chosen == QLatin1String("brief"))
        write(context.out, report->brief());
    else
        write(context.out, report->text(now()));
    return TerminalCommands::startNow;
}

QString resultText(const TaskLintResult &result, const std::optional<Usage> &usage)
{
    QStringList lines;
    auto heading = [&lines](const QString &text) {
        lines.append(QString());
        lines.append(text.toUpper());
    };
    lines.append(result.verdict());
    lines.append(result.quota.reason);

    const std::optional<QuotaBand> band = usage ? ProtectedRun::Snapshot(*usage).band() : std::nullopt;
    if (band && result.reservePolicy) {
        const ReserveState state = reserveStateFrom(*band, *result.reservePolicy);
        heading(ResultWords::reserveHeading());
        lines.append(title(state));
        lines.append(guidance(state));
    }

    heading(ResultWords::lintsHeading());
    if (result.lints.isEmpty())
        lines.append(ResultWords::noLints());
    for (qsizetype i = 0; i < result.lints.size(); ++i) {
        if (i > 0)
            lines.append(QString());
        const TaskLintResult::Lint &lint = result.lints.at(i);
        lines.append(lint.title);
        lines.append(lint.message);
        lines.append(ResultWords::fixPrefix() + lint.fix);
    }

    if (result.taskPacket) {
        heading(ResultWords::packetHeading());
        lines.append(*result.taskPacket);
    }
    const QList<TaskLintResult::Shape::Row> rows =
        result.taskShape ? result.taskShape->rows() : QList<TaskLintResult::Shape::Row>();
    if (!rows.isEmpty()) {
        heading(ResultWords::shapeHeading());
        for (const TaskLintResult::Shape::Row &row : rows)
            lines.append(row.label + QStringLiteral(": ") + row.value);
    }
    if (!result.deferred.isEmpty()) {
        heading(ResultWords::deferHeading());
        for (const QString &item : result.deferred)
            lines.append(ResultWords::bullet() + item);
    }
    lines.append(QString());
    if (const std::optional<QString> size = result.sizeLabel())
        lines.append(ResultWords::sizePrefix() + *size);
    lines.append(ResultWords::disclaimer());
    return lines.join(QLatin1Char('\n'));
}

int exitFor(const TaskLintResult &result)
{
    if (result.decision == QLatin1String("scope_down"))
        return TerminalCommands::scopeDown;
    if (result.decision == QLatin1String("plan_first"))
        return TerminalCommands::planFirst;
    if (result.decision == QLatin1String("wait_for_reset"))
        return TerminalCommands::waitForReset;
    return TerminalCommands::startNow; // decode admits the four decisions only
}

int check(const QStringList &arguments, TerminalCommands::Context &context)
{
    if (wantsHelp(arguments))
        return context.out->write(checkHelp), TerminalCommands::startNow;
    QCommandLineParser parser;
    const QCommandLineOption packet(QStringLiteral("packet"), QStringLiteral("Print only the task packet."));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Print the service's answer."));
    parser.addOptions({packet, json});
    if (!parser.parse(arguments))
        return usageError(context, parser.errorText());
    const QStringList files = parser.positionalArguments();
    if (files.size() > 1)
        return usageError(context, QStringLiteral("check takes one file"));
    if (parser.isSet(packet) && parser.isSet(json))
        return usageError(context, QStringLiteral("--packet and --json do not go together"));

    QByteArray bytes;
    if (files.isEmpty() || files.first() == QLatin1String("-")) {
        if (!context.in)
            return TerminalCommands::notSent;
        bytes = context.in->readAll();
    } else {
        QFile file(files.first());
        if (!file.open(QIODevice::ReadOnly)) {
            write(context.err, QStringLiteral("Tessaline could not read %1: %2.").arg(files.first(), file.errorString()));
            return TerminalCommands::notSent;
        }
        bytes = file.readAll();
    }

    // As in the window: no check without a current quota, which travels with it.
    const auto [usage, message] = readOnce(context.quota);
    if (!usage) {
        write(context.err, QuotaText::failure(message));
        return TerminalCommands::notSent;
    }
    auto prepared = TaskCheck::prepare(QString::fromUtf8(bytes), usage, context.endpoint);
    if (const QString *refusal = std::get_if<QString>(&prepared)) {
        write(context.err, *refusal);
        return TerminalCommands::notSent;
    }

    CheckTransport transport;
    if (context.transferTimeout)
        transport.setTransferTimeout(*context.transferTimeout);
    if (context.deadline)
        transport.setDeadline(*context.deadline);
    std::optional<CheckOutcome> outcome;
    QEventLoop loop;
    QObject::connect(&transport, &CheckTransport::finished, &loop, [&outcome, &loop](const CheckOutcome &o) {
        outcome = o;
        loop.quit();
    });
    if (!transport.start(std::get<PreparedCheck>(prepared))) {
        write(context.err, QStringLiteral("Could not prepare the check."));
        return TerminalCommands::notSent;
    }
    loop.exec();
    if (!outcome || !outcome->result) {
        write(context.err, outcome ? outcome->status : QStringLiteral("Could not prepare the check."));
        return TerminalCommands::noAnswer;
    }

    const TaskLintResult &result = *outcome->result;
    if (parser.isSet(json)) {
        writeBytes(context.out, outcome->reply.body.value_or(QByteArray()).trimmed());
    } else if (parser.isSet(packet)) {
        if (!result.taskPacket) {
            write(context.err, QStringLiteral("The check's answer has no task packet (%1).").arg(result.verdict()));
            return TerminalCommands::noPacket;
        }
        write(context.out, *result.taskPacket);
    } else {
        write(context.out, resultText(result, usage));
    }
    return exitFor(result);
}

} // namespace

bool TerminalCommands::handles(int argc, char *argv[])
{
    if (argc < 2)
        return false;
    const QByteArray first(argv[1]);
    return first == "status" || first == "check";
}

int TerminalCommands::run(const QStringList &arguments, Context &context)
{
    const QString command = arguments.value(1);
    // The parser wants a program name first; the command word takes that place.
    const QStringList rest = arguments.mid(1);
    if (command == statusCommand)
        return status(rest, context);
    if (command == checkCommand)
        return check(rest, context);
    return usageError(context, QStringLiteral("Unknown command \"%1\"").arg(command));
}

int TerminalCommands::main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QFile in;
    QFile out;
    QFile err;
    in.open(stdin, QIODevice::ReadOnly);
    out.open(stdout, QIODevice::WriteOnly | QIODevice::Unbuffered);
    err.open(stderr, QIODevice::WriteOnly | QIODevice::Unbuffered);
    Context context;
    context.in = &in;
    context.out = &out;
    context.err = &err;
    // Loading the service's authority starts the TLS library; status has no use for it.
    if (QCoreApplication::arguments().value(1) == checkCommand)
        context.endpoint = CheckEndpoint::build();
    context.quota = QuotaReader::Options::current();
    return run(QCoreApplication::arguments(), context);
}

} // namespace tessaline
