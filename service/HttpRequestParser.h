#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

namespace tessaline {

// The request line and header fields of one HTTP/1.1 request, with its framing settled.
struct HttpRequestHead {
    QByteArray method;
    QByteArray target; // as sent
    QByteArray path;   // the target's path, without query; "*" for the asterisk form
    int minorVersion = 1;
    QList<QPair<QByteArray, QByteArray>> fields; // names lower-cased, values trimmed

    bool keepAlive = true;
    bool expectContinue = false;
    bool chunked = false;
    qint64 contentLength = 0; // when not chunked

    // The first field of that (lower-case) name, empty when there is none.
    QByteArray field(const char *lowerName) const;
    bool hasBody() const { return chunked || contentLength > 0; }
};

// A strict incremental reader of HTTP/1.1 requests (RFC 9112). It accepts only framing
// that every reader along the way would read the same: one Content-Length, or chunked as
// the last and only coding, never both; CRLF line ends; no folded or space-preceded
// fields. Anything else is an error after which the connection must be closed, because
// where the next request starts is no longer known.
class HttpRequestParser {
public:
    struct Limits {
        qint64 maxHeadBytes;  // request line, fields, and again for chunked trailers
        qint64 maxBodyBytes;
    };

    enum class Result {
        NeedMore, // every byte given was consumed; give more
        Head,     // head() is ready; the body, if any, follows on the next calls
        Complete, // the whole request is in: head() and body()
        Error,    // errorStatus() says how to answer; stop reading the connection
    };

    explicit HttpRequestParser(Limits limits) : limits(limits) {}

    // Reads from data[0, size) and adds what it used to `consumed`. Returns at the first
    // event; call again with the rest.
    Result parse(const char *data, qsizetype size, qsizetype &consumed);

    const HttpRequestHead &head() const { return current; }
    const QByteArray &body() const { return content; }
    int errorStatus() const { return status; }
    // Whether any byte of the next request has been read, so that its time runs.
    bool started() const { return state != State::Head || !line.isEmpty() || headBytes > 0; }

    // After Complete: ready for the next request on the same connection.
    void reset();

private:
    enum class State { Head, Body, ChunkSize, ChunkData, ChunkDataEnd, Trailer, Done, Failed };

    Limits limits;
    State state = State::Head;
    HttpRequestHead current;
    QByteArray content;
    QByteArray line; // a line not yet ended
    QList<QByteArray> headLines;
    qint64 headBytes = 0;
    qint64 remaining = 0; // of the fixed body or the current chunk
    int status = 0;

    Result fail(int code);
    // Appends to `line` up to a CRLF; true once a whole line is in `line` (without CRLF).
    // A bare LF, or a line past `max`, fails with 400 or `tooLong`.
    bool takeLine(const char *data, qsizetype size, qsizetype &consumed, qint64 max, int tooLong, bool &failed);
    Result finishHead();
    Result parseChunkSize();
};

} // namespace tessaline
