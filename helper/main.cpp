// quorvel: prints the signed-in user's Codex quota as one usage snapshot (JSON) on
// standard output, or one sentence on standard error with status 1.

#include "helper/LiveSource.h"
#include "helper/SessionLogs.h"
#include "helper/Snapshot.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <signal.h>

using namespace tessaline::helper;

namespace {

constexpr auto liveBound = std::chrono::seconds(10);

double now()
{
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
}

int fail(const QString &sentence)
{
    std::fprintf(stderr, "%s\n", sentence.toUtf8().constData());
    return 1;
}

int print(const QJsonObject &snapshot)
{
    const QByteArray out = QJsonDocument(snapshot).toJson(QJsonDocument::Compact) + '\n';
    if (std::fwrite(out.constData(), 1, size_t(out.size()), stdout) != size_t(out.size())
        || std::fflush(stdout) != 0)
        return fail(QStringLiteral("quorvel could not write the snapshot to its output."));
    return 0;
}

// Asked to stop, quorvel takes the CLI it started down with it, then ends as the signal
// would have ended it.
void stopWithCli(int sig)
{
    LiveSource::killRunning();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void handleStopSignals()
{
    struct sigaction action = {};
    action.sa_handler = stopWithCli;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT})
        sigaction(sig, &action, nullptr);
}

int usage(FILE *to)
{
    std::fputs("usage: quorvel --json\n"
               "Prints your current Codex quota as one JSON usage snapshot.\n",
               to);
    return to == stdout ? 0 : 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0)
        return usage(stdout);
    if (argc != 2 || std::strcmp(argv[1], "--json") != 0)
        return usage(stderr);

    // Only the live exchange needs Qt's process machinery, and with it an application.
    const QString codex = LiveSource::findCodex();
    QString liveReason;
    if (!codex.isEmpty()) {
        handleStopSignals();
        int appArgc = 1;
        QCoreApplication app(appArgc, argv);
        const LiveSource::Result live = LiveSource::read(codex, liveBound);
        switch (live.status) {
        case LiveSource::Status::Ok:
            if (auto snapshot = Snapshot::build(live.buckets, now(), live.resetCredits))
                return print(*snapshot);
            liveReason = QStringLiteral("the Codex CLI reported no usable quota window");
            break;
        case LiveSource::Status::SignedOut:
            return fail(QStringLiteral("Codex is not signed in: run `codex login`, then try again."));
        case LiveSource::Status::ApiKey:
            return fail(QStringLiteral("Codex is signed in with an API key, which has no plan quota: "
                                       "run `codex login` and sign in with ChatGPT."));
        case LiveSource::Status::Failed:
            liveReason = live.reason;
            break;
        }
    }

    const SessionLogs::Result logs = SessionLogs::read(SessionLogs::codexHome());
    if (auto snapshot = Snapshot::build(logs.buckets, now()))
        return print(*snapshot);

    // Figures without reset times cannot be shown, but saying so beats saying there are none.
    const QString logsHold = logs.percentagesWithoutReset
        ? QStringLiteral("the session logs hold quota percentages but no reset times (they were "
                         "written by an older Codex CLI)")
        : QStringLiteral("no session log holds quota figures yet");
    if (codex.isEmpty() && logs.logFiles == 0)
        return fail(QStringLiteral("Found neither the Codex CLI nor any Codex session log: "
                                   "install Codex and run `codex login`."));
    if (codex.isEmpty())
        return fail(QStringLiteral("The Codex CLI is not installed and %1: install Codex and run "
                                   "`codex login`.")
                        .arg(logsHold));
    return fail(QStringLiteral("Could not read the Codex quota: %1, and %2.").arg(liveReason, logsHold));
}
