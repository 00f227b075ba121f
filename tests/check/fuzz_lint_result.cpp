// Feeds arbitrary bytes to the check answer decoder and exercises what the window
// reads from a decoded answer.
#include "check/TaskLintResult.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const tessaline::Expected<tessaline::TaskLintResult> decoded = tessaline::TaskLintResult::decode(bytes);
    if (!decoded)
        return 0;
    const tessaline::TaskLintResult &result = *decoded;
    // Every accepted answer must satisfy what decoding promises.
    if (result.verdict().isEmpty() || result.quota.reason.isEmpty()
        || result.lints.size() > tessaline::TaskLintResult::maxLints
        || result.deferred.size() > tessaline::TaskLintResult::maxDeferred)
        std::abort();
    for (const tessaline::TaskLintResult::Lint &lint : result.lints)
        if (lint.title.isEmpty() || lint.fix.isEmpty())
            std::abort();
    for (const QString &item : result.deferred)
        if (item.isEmpty())
            std::abort();
    if (result.taskPacket && result.taskPacket->isEmpty())
        std::abort();
    (void)result.sizeLabel();
    if (result.taskShape)
        for (const auto &row : result.taskShape->rows())
            if (row.value.isEmpty())
                std::abort();
    return 0;
}
