// A stand-in for `codex app-server` that checks the client's side of the exchange
// strictly and answers as FAKE_CODEX_SCENARIO says:
//   answer    the result in FAKE_CODEX_RESULT
//   error     an error with the message in FAKE_CODEX_ERROR (code in FAKE_CODEX_CODE)
//   garbage   a line that is not JSON
//   crash     dies of a signal after the first request
//   hang      never answers and ignores SIGTERM
//   stubborn  answers, then ignores both the end of its input and SIGTERM
// A client that breaks the exchange gets no answer: the fake exits with status 3.

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include <unistd.h>

namespace {

QJsonObject next(const char *expected)
{
    std::string line;
    if (!std::getline(std::cin, line)) {
        std::fprintf(stderr, "fake codex: input ended before %s\n", expected);
        std::exit(3);
    }
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line));
    const QJsonObject o = doc.object();
    if (!doc.isObject() || o.value(QLatin1String("method")).toString() != QLatin1String(expected)
        || o.contains(QLatin1String("jsonrpc"))) {
        std::fprintf(stderr, "fake codex: expected %s, got %s\n", expected, line.c_str());
        std::exit(3);
    }
    return o;
}

void send(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

[[noreturn]] void waitForever()
{
    for (;;)
        pause();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2 || std::string(argv[1]) != "app-server")
        return 64;
    const QByteArray scenario = qgetenv("FAKE_CODEX_SCENARIO");
    if (scenario == "hang" || scenario == "stubborn")
        std::signal(SIGTERM, SIG_IGN);

    const QJsonObject init = next("initialize");
    const QJsonObject client = init.value(QLatin1String("params")).toObject().value(QLatin1String("clientInfo")).toObject();
    if (init.value(QLatin1String("id")) != QJsonValue(0) || client.value(QLatin1String("name")) != QJsonValue(QLatin1String("quorvel"))
        || client.value(QLatin1String("version")).toString().isEmpty()) {
        std::fprintf(stderr, "fake codex: bad initialize\n");
        return 3;
    }
    if (scenario == "crash")
        std::abort();
    if (scenario == "hang")
        waitForever();
    // The real server sends notifications of its own between answers.
    send(R"({"method":"sessionConfigured","params":{}})");
    send(R"({"id":0,"result":{"userAgent":"fake"}})");

    const QJsonObject initialized = next("initialized");
    if (initialized.contains(QLatin1String("id")))
        return 3;
    const QJsonObject read = next("account/rateLimits/read");
    if (read.value(QLatin1String("id")) != QJsonValue(1))
        return 3;

    if (scenario == "garbage") {
        send("Welcome to codex! this is not JSON");
    } else if (scenario == "error") {
        send(QJsonDocument(QJsonObject{
                 {QStringLiteral("id"), 1},
                 {QStringLiteral("error"),
                  QJsonObject{{QStringLiteral("code"), qEnvironmentVariableIntValue("FAKE_CODEX_CODE")},
                              {QStringLiteral("message"), qEnvironmentVariable("FAKE_CODEX_ERROR")}}}})
                 .toJson(QJsonDocument::Compact));
    } else {
        send("{\"id\":1,\"result\":" + qgetenv("FAKE_CODEX_RESULT") + "}");
    }
    if (scenario == "stubborn")
        waitForever();
    // Like app-server, stay until the client closes our input.
    std::string rest;
    while (std::getline(std::cin, rest)) {
    }
    return 0;
}
