#include "service/HttpRequestParser.h"

#include <cstring>

namespace tessaline {

namespace {

bool isTchar(unsigned char c)
{
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
        return true;
    return c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool isToken(QByteArrayView text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text)
        if (!isTchar(static_cast<unsigned char>(c)))
            return false;
    return true;
}

// Field values: visible characters, spaces, tabs and obs-text; no other control character.
bool isFieldValue(QByteArrayView text)
{
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c < 0x20 && c != '\t') || c == 0x7f)
            return false;
    }
    return true;
}

QByteArrayView trimmedOws(QByteArrayView text)
{
    while (!text.isEmpty() && (text.front() == ' ' || text.front() == '\t'))
        text = text.sliced(1);
    while (!text.isEmpty() && (text.back() == ' ' || text.back() == '\t'))
        text.chop(1);
    return text;
}

// The elements of a comma-separated field value, empty ones dropped, lower-cased.
QList<QByteArray> listElements(QByteArrayView value)
{
    QList<QByteArray> out;
    qsizetype from = 0;
    while (from <= value.size()) {
        qsizetype comma = value.indexOf(',', from);
        if (comma < 0)
            comma = value.size();
        const QByteArrayView element = trimmedOws(value.sliced(from, comma - from));
        if (!element.isEmpty())
            out.append(element.toByteArray().toLower());
        from = comma + 1;
    }
    return out;
}

// 1*DIGIT with no sign, space or other character. -1 when it is not that or does not
// fit (18 digits always fit in 63 bits).
qint64 decimalLength(QByteArrayView text)
{
    if (text.isEmpty() || text.size() > 18)
        return -1;
    qint64 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

bool parseFieldLine(QByteArrayView line, QByteArray &name, QByteArray &value)
{
    const qsizetype colon = line.indexOf(':');
    // No space between name and colon: a server must reject it, since readers disagree
    // on which field it is.
    if (colon <= 0 || !isToken(line.first(colon)))
        return false;
    const QByteArrayView raw = trimmedOws(line.sliced(colon + 1));
    if (!isFieldValue(raw))
        return false;
    name = line.first(colon).toByteArray().toLower();
    value = raw.toByteArray();
    return true;
}

} // namespace

QByteArray HttpRequestHead::field(const char *lowerName) const
{
    for (const auto &f : fields)
        if (f.first == lowerName)
            return f.second;
    return {};
}

void HttpRequestParser::reset()
{
    state = State::Head;
    current = {};
    content.clear();
    line.clear();
    headLines.clear();
    headBytes = 0;
    remaining = 0;
    status = 0;
}

HttpRequestParser::Result HttpRequestParser::fail(int code)
{
    state = State::Failed;
    status = code;
    return Result::Error;
}

bool HttpRequestParser::takeLine(const char *data, qsizetype size, qsizetype &consumed, qint64 max, int tooLong,
                                 bool &failed)
{
    failed = false;
    const char *start = data + consumed;
    const qsizetype available = size - consumed;
    const void *found = std::memchr(start, '\n', static_cast<size_t>(available));
    const qsizetype take = found ? static_cast<const char *>(found) - start + 1 : available;
    if (line.size() + take > max) {
        failed = true;
        fail(tooLong);
        return false;
    }
    line.append(start, take);
    consumed += take;
    headBytes += take;
    if (!found)
        return false;
    // A line ends in CRLF and holds no other CR: a bare LF or CR is read differently by
    // different readers.
    line.chop(1);
    if (line.isEmpty() || line.back() != '\r' || line.first(line.size() - 1).contains('\r')) {
        failed = true;
        fail(400);
        return false;
    }
    line.chop(1);
    return true;
}

HttpRequestParser::Result HttpRequestParser::parse(const char *data, qsizetype size, qsizetype &consumed)
{
    bool failed = false;
    while (true) {
        switch (state) {
        case State::Failed:
            return Result::Error;
        case State::Done:
            return Result::Complete;
        case State::Head: {
            if (consumed >= size)
                return Result::NeedMore;
            const qint64 room = limits.maxHeadBytes - (headBytes - line.size());
            if (!takeLine(data, size, consumed, room, 431, failed))
                return failed ? Result::Error : Result::NeedMore;
            QByteArray whole = std::exchange(line, {});
            if (whole.isEmpty()) {
                if (headLines.isEmpty())
                    continue; // empty lines before the request line are ignored
                const Result r = finishHead();
                if (r == Result::Error)
                    return r;
                return Result::Head;
            }
            headLines.append(std::move(whole));
            continue;
        }
        case State::Body: {
            const qint64 take = std::min<qint64>(remaining, size - consumed);
            content.append(data + consumed, take);
            consumed += take;
            remaining -= take;
            if (remaining > 0)
                return Result::NeedMore;
            state = State::Done;
            return Result::Complete;
        }
        case State::ChunkSize: {
            if (consumed >= size)
                return Result::NeedMore;
            if (!takeLine(data, size, consumed, 1024, 400, failed))
                return failed ? Result::Error : Result::NeedMore;
            const Result r = parseChunkSize();
            if (r == Result::Error)
                return r;
            continue;
        }
        case State::ChunkData: {
            const qint64 take = std::min<qint64>(remaining, size - consumed);
            content.append(data + consumed, take);
            consumed += take;
            remaining -= take;
            if (remaining > 0)
                return Result::NeedMore;
            state = State::ChunkDataEnd;
            continue;
        }
        case State::ChunkDataEnd: {
            // Exactly CRLF after the chunk's data, nothing else.
            if (consumed >= size)
                return Result::NeedMore;
            if (!takeLine(data, size, consumed, 2, 400, failed))
                return failed ? Result::Error : Result::NeedMore;
            if (!std::exchange(line, {}).isEmpty())
                return fail(400);
            state = State::ChunkSize;
            continue;
        }
        case State::Trailer: {
            if (consumed >= size)
                return Result::NeedMore;
            const qint64 room = limits.maxHeadBytes - (headBytes - line.size());
            if (!takeLine(data, size, consumed, room, 431, failed))
                return failed ? Result::Error : Result::NeedMore;
            const QByteArray whole = std::exchange(line, {});
            if (whole.isEmpty()) {
                state = State::Done;
                return Result::Complete;
            }
            // Trailer fields are read for their form and otherwise ignored.
            QByteArray name, value;
            if (whole.front() == ' ' || whole.front() == '\t' || !parseFieldLine(whole, name, value))
                return fail(400);
            continue;
        }
        }
    }
}

HttpRequestParser::Result HttpRequestParser::finishHead()
{
    const QByteArray &requestLine = headLines.front();
    const qsizetype sp1 = requestLine.indexOf(' ');
    const qsizetype sp2 = sp1 < 0 ? -1 : requestLine.indexOf(' ', sp1 + 1);
    if (sp2 < 0 || requestLine.indexOf(' ', sp2 + 1) >= 0)
        return fail(400);
    current.method = requestLine.first(sp1);
    current.target = requestLine.sliced(sp1 + 1, sp2 - sp1 - 1);
    const QByteArrayView version = QByteArrayView(requestLine).sliced(sp2 + 1);
    if (!isToken(current.method) || current.target.isEmpty())
        return fail(400);
    for (const char ch : std::as_const(current.target)) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7f)
            return fail(400);
    }
    if (version.size() != 8 || !version.startsWith("HTTP/") || version[6] != '.' || version[5] < '0'
        || version[5] > '9' || version[7] < '0' || version[7] > '9')
        return fail(400);
    if (version[5] != '1')
        return fail(505);
    current.minorVersion = version[7] - '0';
    const bool http11 = current.minorVersion >= 1;

    // The path: origin form, absolute form (http or https) reduced to its path, or "*".
    QByteArray target = current.target;
    const QByteArray lower = target.toLower();
    for (const char *scheme : {"http://", "https://"}) {
        if (lower.startsWith(scheme)) {
            const qsizetype slash = target.indexOf('/', qsizetype(std::strlen(scheme)));
            target = slash < 0 ? QByteArray("/") : target.sliced(slash);
            break;
        }
    }
    if (target == "*")
        current.path = target;
    else if (target.startsWith('/'))
        current.path = target.left(target.indexOf('?') < 0 ? target.size() : target.indexOf('?'));
    else
        return fail(400);

    int hosts = 0;
    QList<QByteArray> codings;
    bool hasTransferEncoding = false;
    qint64 length = -1;
    QList<QByteArray> connection;
    QByteArray expect;
    bool hasExpect = false;
    for (qsizetype i = 1; i < headLines.size(); ++i) {
        const QByteArray &fieldLine = headLines[i];
        // A field line opening with white space is a fold or hides a field from some
        // readers: both are refused.
        QByteArray name, value;
        if (fieldLine.front() == ' ' || fieldLine.front() == '\t' || !parseFieldLine(fieldLine, name, value))
            return fail(400);
        if (name == "host") {
            ++hosts;
        } else if (name == "content-length") {
            const qint64 n = decimalLength(value);
            if (n < 0 || (length >= 0 && n != length))
                return fail(400);
            length = n;
        } else if (name == "transfer-encoding") {
            hasTransferEncoding = true;
            codings += listElements(value);
        } else if (name == "connection") {
            connection += listElements(value);
        } else if (name == "expect") {
            hasExpect = true;
            expect = value.toLower();
        }
        current.fields.append({std::move(name), std::move(value)});
    }
    headLines.clear();

    if ((http11 && hosts != 1) || hosts > 1)
        return fail(400);
    current.keepAlive = http11 ? !connection.contains("close") : connection.contains("keep-alive");

    if (hasTransferEncoding) {
        // Both framings at once is the classic smuggling vector; a 1.0 request has no
        // transfer codings at all.
        if (length >= 0 || !http11 || codings.isEmpty())
            return fail(400);
        // Without chunked as the last coding the length cannot be known.
        if (codings.back() != "chunked" || codings.count("chunked") != 1)
            return fail(400);
        // Chunked over another coding is well framed, but no other coding is implemented.
        if (codings.size() > 1)
            return fail(501);
        current.chunked = true;
    } else if (length > limits.maxBodyBytes) {
        return fail(413);
    } else {
        current.contentLength = std::max<qint64>(length, 0);
    }

    if (hasExpect && http11) {
        if (expect != "100-continue")
            return fail(417);
        current.expectContinue = true;
    }

    headBytes = 0;
    if (current.chunked) {
        state = State::ChunkSize;
    } else if (current.contentLength > 0) {
        remaining = current.contentLength;
        state = State::Body;
    } else {
        state = State::Done;
    }
    return Result::Head;
}

HttpRequestParser::Result HttpRequestParser::parseChunkSize()
{
    const QByteArray sizeLine = std::exchange(line, {});
    qsizetype digits = 0;
    qint64 size = 0;
    while (digits < sizeLine.size()) {
        const char c = sizeLine[digits];
        int v = -1;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        if (v < 0)
            break;
        // 15 hex digits always fit; past that the size is refused rather than wrapped.
        if (++digits > 15)
            return fail(400);
        size = size * 16 + v;
    }
    if (digits == 0)
        return fail(400);
    // Only chunk extensions may follow (";name=value", optionally after spaces); they are
    // ignored.
    QByteArrayView rest = QByteArrayView(sizeLine).sliced(digits);
    rest = trimmedOws(rest);
    if (!rest.isEmpty() && (rest.front() != ';' || !isFieldValue(rest)))
        return fail(400);
    if (size > limits.maxBodyBytes - content.size())
        return fail(413);
    if (size == 0) {
        headBytes = 0;
        state = State::Trailer;
    } else {
        remaining = size;
        state = State::ChunkData;
    }
    return Result::NeedMore;
}

} // namespace tessaline
