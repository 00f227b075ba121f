#include "quota/Usage.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

using namespace tessaline;

// Whatever the bytes, decode returns; what it accepts must hold the snapshot's promises.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const Expected<Usage> usage = Usage::decode(bytes);
    if (!usage)
        return 0;
    bool sound = usage->schemaVersion == 1 && !usage->windows.isEmpty() && std::isfinite(usage->fetchedAt);
    for (const Usage::Window &w : usage->windows)
        sound = sound && w.usedPercent >= 0 && w.usedPercent <= 100 && w.remainingPercent >= 0 && w.remainingPercent <= 100
            && w.windowDurationMins >= 1 && std::fabs(w.resetsAt) < 253402300800.0;
    if (usage->pressureCheck)
        sound = sound && usage->pressureCheck->summary().endsWith(QLatin1Char('.'));
    // Decoding is a pure function of the bytes.
    const Expected<Usage> again = Usage::decode(QByteArray(bytes));
    if (!sound || !again || !(*again == *usage))
        std::abort();
    return 0;
}
