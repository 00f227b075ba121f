// Raw request bytes, as a client may send them on one connection: the reader must never
// read past its limits, must end every request it accepts exactly where its framing
// says, and must read the same requests whichever way the bytes are split into reads.
#include "service/HttpRequestParser.h"

#include <QList>

#include <cstdint>
#include <cstdlib>

using namespace tessaline;

namespace {

constexpr HttpRequestParser::Limits limits{1024, 4096};

// What the reader made of a stream: one entry per event, the requests with their
// method, path and body.
QList<QByteArray> read(const QByteArray &bytes, qsizetype step)
{
    QList<QByteArray> events;
    HttpRequestParser parser(limits);
    qsizetype from = 0;
    while (from < bytes.size()) {
        const qsizetype size = std::min(step, bytes.size() - from);
        qsizetype used = 0;
        while (true) {
            const auto result = parser.parse(bytes.constData() + from, size, used);
            if (result == HttpRequestParser::Result::NeedMore) {
                if (used != size)
                    std::abort();
                break;
            }
            if (result == HttpRequestParser::Result::Error) {
                const int status = parser.errorStatus();
                if (status != 400 && status != 413 && status != 417 && status != 431 && status != 501 && status != 505)
                    std::abort();
                events.append("error " + QByteArray::number(status));
                return events;
            }
            const HttpRequestHead &head = parser.head();
            if (head.method.isEmpty() || head.path.isEmpty() || head.contentLength > limits.maxBodyBytes)
                std::abort();
            if (result == HttpRequestParser::Result::Head) {
                events.append("head " + head.method + ' ' + head.path);
                continue;
            }
            if (parser.body().size() > limits.maxBodyBytes || (!head.chunked && parser.body().size() != head.contentLength))
                std::abort();
            events.append("request " + parser.body());
            parser.reset();
        }
        from += size;
    }
    return events;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte picks how the rest is split into reads.
    const qsizetype step = data[0] % 16 + 1;
    const QByteArray bytes(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);
    if (read(bytes, bytes.size() + 1) != read(bytes, step))
        std::abort();
    return 0;
}
