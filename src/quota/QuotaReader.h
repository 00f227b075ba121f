#pragma once

#include "quota/Usage.h"

#include <QProcessEnvironment>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

namespace tessaline {

// Finds the companion helper `quorvel`, runs it once with "--json" and hands back either
// a valid snapshot or one sentence for the user; never both, never neither.
class QuotaReader {
public:
    using Completion = std::function<void(std::optional<Usage>, std::optional<QString>)>;

    // What a read depends on outside the program. current() is the real process; tests
    // pass their own so that nothing depends on the machine.
    struct Options {
        QProcessEnvironment environment;
        std::optional<QString> resourceDirectory;
        QString homeDirectory;
        // A helper still running after this long is killed.
        std::chrono::milliseconds timeLimit{30000};

        static Options current();
    };

    // The snapshot is a small document; more standard output than this is refused.
    static constexpr qint64 outputLimit = 16 * 1024 * 1024;

    static std::optional<QString> executable();
    static std::optional<QString> executable(const Options &options);

    // Returns at once. A discovery or launch failure is delivered before returning;
    // everything else arrives later through the calling thread's event loop.
    static void read(Completion completion);
    static void read(Completion completion, const Options &options);
};

} // namespace tessaline
