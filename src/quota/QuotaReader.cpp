#include "quota/QuotaReader.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QTextBoundaryFinder>
#include <QTimer>

#include <unistd.h>

namespace tessaline {

namespace {

const QString helperName = QStringLiteral("quorvel");
constexpr int excerptCharacters = 240;

const char *const notFound = "Tessaline could not find its bundled quota helper.";
const char *const unexpectedData = "Tessaline could not read your current Codex quota: the helper returned unexpected data.";
const char *const tooSlow = "Tessaline could not read your current Codex quota: the helper did not finish within 30 seconds.";

// The only test made on a candidate. Directories pass access(X_OK) but cannot be run.
bool isExecutableFile(const QString &path)
{
    if (path.isEmpty())
        return false;
    const QByteArray native = QFile::encodeName(path);
    return ::access(native.constData(), X_OK) == 0 && QFileInfo(path).isFile();
}

// At most `count` user-perceived characters, never splitting one.
QString leadingCharacters(const QString &text, int count)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = 0;
    for (int i = 0; i < count; ++i) {
        const qsizetype next = finder.toNextBoundary();
        if (next < 0)
            return text;
        end = next;
    }
    return text.first(end);
}

// One helper run: the child, its two drained pipes and the bound on its life. Deletes
// itself once the completion has been called.
class HelperRun : public QObject {
public:
    HelperRun(QuotaReader::Completion completion, std::chrono::milliseconds timeLimit)
        : QObject(QCoreApplication::instance()), completion(std::move(completion))
    {
        timer.setSingleShot(true);
        timer.setInterval(timeLimit);
        connect(&timer, &QTimer::timeout, this, [this] { stop(Stop::TimedOut); });
        connect(&process, &QProcess::readyReadStandardOutput, this, &HelperRun::drainOutput);
        connect(&process, &QProcess::readyReadStandardError, this, &HelperRun::drainError);
        connect(&process, &QProcess::finished, this, &HelperRun::finish);
    }

    // False when the launch failed; the completion has been called then.
    bool launch(const QString &program, const QProcessEnvironment &environment)
    {
        QProcessEnvironment childEnvironment = environment;
        childEnvironment.insert(QStringLiteral("QUORVEL_COMPANION"), QStringLiteral("1"));
        // An absolute path, so that a bare name is never looked up on PATH again.
        process.setProgram(QFileInfo(program).absoluteFilePath());
        process.setArguments({QStringLiteral("--json")});
        process.setProcessEnvironment(childEnvironment);
        process.setStandardInputFile(QProcess::nullDevice());
        process.start(QIODevice::ReadOnly);
        if (!process.waitForStarted(-1)) {
            deliver(std::nullopt, QStringLiteral("Tessaline could not run its quota helper: ") + process.errorString());
            return false;
        }
        timer.start();
        return true;
    }

private:
    enum class Stop { None, TimedOut, TooMuchOutput };

    QuotaReader::Completion completion;
    QProcess process;
    QTimer timer;
    QByteArray output;
    QByteArray error;
    Stop stopped = Stop::None;
    bool delivered = false;

    void drainOutput()
    {
        const QByteArray chunk = process.readAllStandardOutput();
        if (stopped != Stop::None)
            return;
        if (output.size() + chunk.size() > QuotaReader::outputLimit) {
            output.clear();
            stop(Stop::TooMuchOutput);
            return;
        }
        output += chunk;
    }

    void drainError()
    {
        // Only the start of standard error is ever shown; past the limit it is still
        // read, so the helper never blocks on a full pipe, but not kept.
        const QByteArray chunk = process.readAllStandardError();
        if (error.size() < QuotaReader::outputLimit)
            error += chunk.first(std::min<qsizetype>(chunk.size(), QuotaReader::outputLimit - error.size()));
    }

    void stop(Stop reason)
    {
        if (stopped != Stop::None)
            return;
        stopped = reason;
        process.kill();
    }

    void finish(int exitCode, QProcess::ExitStatus exitStatus)
    {
        timer.stop();
        drainOutput();
        drainError();

        if (stopped == Stop::TimedOut)
            return deliver(std::nullopt, QString::fromUtf8(tooSlow));
        if (stopped == Stop::TooMuchOutput)
            return deliver(std::nullopt, QString::fromUtf8(unexpectedData));

        // A helper killed by a signal has not succeeded, whatever number stands for it.
        int status = exitCode;
        if (exitStatus == QProcess::CrashExit && status == 0)
            status = -1;

        if (status != 0) {
            const QString text = QString::fromUtf8(error).trimmed();
            if (!text.isEmpty())
                return deliver(std::nullopt, QStringLiteral("Tessaline could not read your current Codex quota. ")
                                                 + leadingCharacters(text, excerptCharacters));
            return deliver(std::nullopt, QStringLiteral("Tessaline could not read your current Codex quota (")
                                             + QString::number(status) + QStringLiteral(")."));
        }

        Expected<Usage> usage = Usage::decode(output);
        if (!usage)
            return deliver(std::nullopt, QString::fromUtf8(unexpectedData));
        deliver(std::move(usage).value(), std::nullopt);
    }

    void deliver(std::optional<Usage> usage, std::optional<QString> message)
    {
        if (delivered)
            return;
        delivered = true;
        // The completion may start the next read or drop the last reference to its
        // caller; this run must be unhooked first and go away only afterwards.
        disconnect(&process, nullptr, this, nullptr);
        QuotaReader::Completion done = std::move(completion);
        deleteLater();
        done(std::move(usage), std::move(message));
    }
};

} // namespace

QuotaReader::Options QuotaReader::Options::current()
{
    Options options;
    options.environment = QProcessEnvironment::systemEnvironment();
    if (QCoreApplication::instance())
        options.resourceDirectory = QCoreApplication::applicationDirPath() + QStringLiteral("/../libexec/tessaline");
    options.homeDirectory = QDir::homePath();
    return options;
}

std::optional<QString> QuotaReader::executable()
{
    return executable(Options::current());
}

std::optional<QString> QuotaReader::executable(const Options &options)
{
    const QString overrideKey = QStringLiteral("QUORVEL_EXECUTABLE");
    if (options.environment.contains(overrideKey)) {
        const QString path = options.environment.value(overrideKey);
        if (isExecutableFile(path))
            return path;
        return std::nullopt;
    }

    if (options.resourceDirectory) {
        const QString bundled = QDir::cleanPath(*options.resourceDirectory + QLatin1Char('/') + helperName);
        if (isExecutableFile(bundled))
            return bundled;
    }

    QStringList candidates{options.homeDirectory + QStringLiteral("/.local/bin/quorvel")};
    const QString pathKey = QStringLiteral("PATH");
    if (options.environment.contains(pathKey)) {
        const QStringList directories = options.environment.value(pathKey).split(QLatin1Char(':'), Qt::SkipEmptyParts);
        for (const QString &directory : directories)
            candidates.append(directory + QStringLiteral("/quorvel"));
    }
    for (const QString &candidate : std::as_const(candidates))
        if (isExecutableFile(candidate))
            return candidate;
    return std::nullopt;
}

void QuotaReader::read(Completion completion)
{
    read(std::move(completion), Options::current());
}

void QuotaReader::read(Completion completion, const Options &options)
{
    const std::optional<QString> program = executable(options);
    if (!program) {
        completion(std::nullopt, QString::fromUtf8(notFound));
        return;
    }
    auto *run = new HelperRun(std::move(completion), options.timeLimit);
    run->launch(*program, options.environment);
}

} // namespace tessaline
