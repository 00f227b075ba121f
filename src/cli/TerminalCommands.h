#pragma once

#include "check/CheckEndpoint.h"
#include "quota/QuotaReader.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

class QIODevice;

namespace tessaline {

// `tessaline status` and `tessaline check`: what the window knows, for terminals and
// status bars. They need no display; a QCoreApplication is enough.
class TerminalCommands {
public:
    // Exit statuses of `check`, documented in the manual page and the README.
    enum Exit {
        startNow = 0,      // also `status` with figures
        noAnswer = 1,      // no usable answer came (also `status` without a quota)
        notSent = 2,       // bad usage, unreadable input, no quota, or a refused description
        scopeDown = 3,
        planFirst = 4,
        waitForReset = 5,
        noPacket = 6,      // `--packet`, and the answer has none
    };

    // Where a command reads and writes, and what it talks to; tests give their own.
    struct Context {
        QIODevice *in = nullptr;
        QIODevice *out = nullptr;
        QIODevice *err = nullptr;
        CheckEndpoint endpoint;
        QuotaReader::Options quota;
        QString instanceName = QStringLiteral("tessaline");
        int instanceTimeoutMs = 2000;
        std::optional<std::chrono::milliseconds> transferTimeout;
        std::optional<std::chrono::milliseconds> deadline;
    };

    // True when the program's first argument names one of these commands.
    static bool handles(int argc, char *argv[]);
    // Runs the command of `arguments` (the program name first) in a running
    // QCoreApplication and returns the exit status.
    static int run(const QStringList &arguments, Context &context);
    // The real program: standard streams, the build's service, the user's helper.
    static int main(int argc, char *argv[]);
};

} // namespace tessaline
