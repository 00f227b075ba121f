#pragma once

#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>

#include <algorithm>
#include <csignal>
#include <sys/prctl.h>

// A real child process that prints a line on its standard output once it is ready (a
// server saying where it listens, a bus daemon its address). Set up `process` (its
// environment, its channels) before start(). The child dies with the test, so a crashed
// test leaves nothing listening; otherwise it is stopped when the object goes.
//
//   ReadyProcess service;
//   if (!service.start(program, arguments, QRegularExpression("^Listening on .+:(\\d+)$")))
//       QFAIL(service.process.readAllStandardError());
//   const auto port = service.ready.captured(1).toUShort();
class ReadyProcess {
public:
    QProcess process;
    QRegularExpressionMatch ready; // the ready line, with its captures

    // Starts the program and reads its output a line at a time until one matches `line`,
    // for at most timeoutMs. False when the program ends first or the time runs out.
    bool start(const QString &program, const QStringList &arguments, const QRegularExpression &line, int timeoutMs = 20000)
    {
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        process.start(program, arguments);
        const QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired() && (process.canReadLine() || process.state() != QProcess::NotRunning)) {
            if (!process.canReadLine() && !process.waitForReadyRead(std::min<qint64>(200, deadline.remainingTime())))
                continue;
            ready = line.match(QString::fromUtf8(process.readLine()).trimmed());
            if (ready.hasMatch())
                return true;
        }
        return false;
    }

    // SIGTERM, then SIGKILL when it has not ended within graceMs. True when it ended on its
    // own, cleanly, within the grace time (or was not running).
    bool stop(int graceMs = 5000)
    {
        if (process.state() == QProcess::NotRunning)
            return true;
        process.terminate();
        if (process.waitForFinished(graceMs))
            return process.exitStatus() == QProcess::NormalExit;
        process.kill();
        process.waitForFinished();
        return false;
    }

    ~ReadyProcess() { stop(); }
};

// What a program that was run to its end did: its exit code (-1: it did not end on its
// own within a minute) and what it printed on each channel.
struct Ran {
    int code;
    QByteArray out, err;
    bool operator==(const Ran &) const = default;
};

inline Ran runToEnd(const QString &program, const QStringList &arguments,
                    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    const bool ended = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
    return {ended ? process.exitCode() : -1, process.readAllStandardOutput(), process.readAllStandardError()};
}
