// quorvel: prints the signed-in user's Codex quota as one usage snapshot (JSON) on
// standard output, or one sentence on standard error with status 1.

#include "helper/LiveSource.h"
#include "helper/SessionLogs.h"
#include "helper/Snapshot.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>

#include <chrono>
#include <cstdio>
#include <cstring>

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
        int appArgc = 1;
        QCoreApplication app(appArgc, argv);
        const LiveSource::Result live = LiveSource::read(codex, liveBound);
        switch (live.status) {
        case LiveSource::Status::Ok:
            if (auto snapshot = Snapshot::build(live.buckets, now()))
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

    if (codex.isEmpty() && logs.logFiles == 0)
        return fail(QStringLiteral("Found neither the Codex CLI nor any Codex session log: "
                                   "install Codex and run `codex login`."));
    if (codex.isEmpty())
        return fail(QStringLiteral("The Codex CLI is not installed and no session log holds quota "
                                   "figures yet: install Codex and run `codex login`."));
    return fail(QStringLiteral("Could not read the Codex quota: %1, and no session log holds quota "
                               "figures yet.")
                    .arg(liveReason));
}
