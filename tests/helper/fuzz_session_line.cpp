// Whatever a session log line holds, quorvel either skips it or prints a snapshot the
// program accepts.

#include "helper/SessionLogs.h"
#include "helper/Snapshot.h"
#include "quota/Usage.h"

#include <QJsonDocument>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    double time = 0;
    const auto bucket = tessaline::helper::SessionLogs::parseLine(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)), &time);
    // Read at the line's own time, an hour later and a year later: expired windows too.
    for (double now : {time, time + 3600, time + 365 * 86400.0}) {
        const auto doc = bucket ? tessaline::helper::Snapshot::build({*bucket}, now) : std::nullopt;
        if (doc && !tessaline::Usage::decode(QJsonDocument(*doc).toJson(QJsonDocument::Compact)))
            std::abort();
    }
    return 0;
}
