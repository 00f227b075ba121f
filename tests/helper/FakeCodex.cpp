// A stand-in for `codex app-server`, for what the real CLI cannot be made to do. It checks
// the client's side of the exchange strictly and answers as FAKE_CODEX_SCENARIO says:
//   answer    the result in FAKE_CODEX_RESULT, which can be anything
//   garbage   a line that is not JSON
//   crash     dies of a signal after the first request
//   stubborn  answers, then ignores both the end of its input and SIGTERM
//   detach    answers, leaving behind a process of its own in a session of its own
// A client that breaks the exchange gets no answer: the fake exits with status 3.

#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include <unistd.h>

namespace {

QJsonObject next(const char *method)
{
    std::string line;
    if (!std::getline(std::cin, line))
        std::exit(3);
    const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
    if (o.value("method").toString() != QLatin1String(method) || o.contains("jsonrpc")) {
        std::fprintf(stderr, "fake codex: expected %s, got %s\n", method, line.c_str());
        std::exit(3);
    }
    return o;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2 || std::string(argv[1]) != "app-server")
        return 64;
    const QByteArray scenario = qgetenv("FAKE_CODEX_SCENARIO");
    if (scenario == "stubborn")
        std::signal(SIGTERM, SIG_IGN);

    const QJsonObject init = next("initialize");
    const QJsonObject client = init.value("params").toObject().value("clientInfo").toObject();
    if (init.value("id") != QJsonValue(0) || client.value("name") != QJsonValue("quorvel")
        || client.value("version").toString().isEmpty())
        return 3;
    if (scenario == "crash")
        std::abort();
    // The real server sends notifications of its own between answers.
    std::cout << R"({"method":"sessionConfigured","params":{}})" << std::endl;
    std::cout << R"({"id":0,"result":{"userAgent":"fake"}})" << std::endl;
    if (next("initialized").contains("id") || next("account/rateLimits/read").value("id") != QJsonValue(1))
        return 3;

    if (scenario == "garbage")
        std::cout << "Welcome to codex! this is not JSON" << std::endl;
    else
        std::cout << "{\"id\":1,\"result\":" << qgetenv("FAKE_CODEX_RESULT").constData() << "}" << std::endl;
    // The stubborn fake waits forever, and so does the process the detaching one leaves behind.
    if (scenario == "stubborn" || (scenario == "detach" && fork() == 0 && setsid() > 0))
        for (;;)
            pause();
    // Like app-server, stay until the client closes our input.
    for (std::string rest; std::getline(std::cin, rest);) {
    }
    return 0;
}
