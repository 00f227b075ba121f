// Feeds arbitrary bytes to the outcome history decoder. Whatever decodes must encode
// again and decode to the same records, or the next append would lose the history.
#include "reserve/OutcomeStore.h"

#include <cstdint>
#include <cstdlib>

using namespace tessaline;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const Expected<QList<OutcomeRecord>> decoded = OutcomeStore::decode(bytes);
    if (!decoded)
        return 0;

    const std::optional<QByteArray> encoded = OutcomeStore::encode(*decoded);
    if (!encoded)
        std::abort();
    const Expected<QList<OutcomeRecord>> again = OutcomeStore::decode(*encoded);
    if (!again || *again != *decoded)
        std::abort();

    if (!decoded->isEmpty()) {
        const OutcomeRecord &last = decoded->last();
        (void)OutcomeStore::insight(*decoded, last.taskSize, last.reservePolicy, last.startingQuotaBand);
    }
    return 0;
}
