// Feeds arbitrary bytes to the answer decoder; whatever it accepts must keep its promises.
#include "check/TaskLintResult.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

using tessaline::TaskLintResult;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const auto decoded = TaskLintResult::decode(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (!decoded)
        return 0;
    const TaskLintResult &r = *decoded;
    const auto rows = r.taskShape ? r.taskShape->rows() : QList<TaskLintResult::Shape::Row>();
    if (r.verdict().isEmpty() || r.quota.reason.isEmpty() || r.lints.size() > TaskLintResult::maxLints
        || r.deferred.size() > TaskLintResult::maxDeferred || (r.taskPacket && r.taskPacket->isEmpty())
        || r.deferred.contains(QString())
        || std::any_of(r.lints.begin(), r.lints.end(), [](auto &l) { return l.title.isEmpty() || l.fix.isEmpty(); })
        || std::any_of(rows.begin(), rows.end(), [](auto &row) { return row.value.isEmpty(); }))
        std::abort();
    return 0;
}
