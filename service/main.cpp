// tessaline-service: the reference task-check service and its web checker page.

#include "service/CheckServer.h"
#include "service/WorkerPool.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QTextStream>
#include <QThread>

#include <QSocketNotifier>

#include <csignal>
#include <memory>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

int fail(const QString &message)
{
    QTextStream(stderr) << "tessaline-service: " << message << Qt::endl;
    return 1;
}

QSslKey readKey(const QByteArray &pem)
{
    for (QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        QSslKey key(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull())
            return key;
    }
    return {};
}

// SIGTERM and SIGINT end the event loop, so the service stops like any clean exit:
// the workers finish, sockets close, and nothing is cut off halfway through a write.
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

bool quitOnSignals()
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, QCoreApplication::instance(), &QCoreApplication::quit);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGTERM, &action, nullptr) == 0 && ::sigaction(SIGINT, &action, nullptr) == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    // The service must never write request content anywhere, not even through the
    // HTTP module's own debug output.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.httpserver*=false"));

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tessaline-service"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TESSALINE_VERSION));

    if (!quitOnSignals())
        return fail(QStringLiteral("cannot set up signal handling."));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Serves the Tessaline task check (POST /api/tessaline) and the web checker page\n"
        "(GET /tessaline/check) over HTTPS. Keeps no state and logs no task text."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption certOption(QStringLiteral("cert"),
        QStringLiteral("PEM file with the server certificate, optionally followed by its chain."), QStringLiteral("file"));
    const QCommandLineOption keyOption(QStringLiteral("key"), QStringLiteral("PEM file with the certificate's private key."),
                                       QStringLiteral("file"));
    const QCommandLineOption addressOption(QStringLiteral("address"),
        QStringLiteral("Address to listen on (default 127.0.0.1)."), QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(QStringLiteral("port"),
        QStringLiteral("Port to listen on, 0 for any free port (default 8443)."), QStringLiteral("port"), QStringLiteral("8443"));
    const QCommandLineOption threadsOption(QStringLiteral("threads"),
        QStringLiteral("Worker threads sharing the port (default: one per core)."), QStringLiteral("count"),
        QString::number(QThread::idealThreadCount()));
    const QCommandLineOption timeoutOption(QStringLiteral("request-timeout"),
        QStringLiteral("Seconds a connection gets to send each whole request (default 30)."), QStringLiteral("seconds"),
        QStringLiteral("30"));
    const QCommandLineOption connectionsOption(QStringLiteral("max-connections"),
        QStringLiteral("Connections served at once; more are closed as they arrive (default %1).")
            .arg(tessaline::CheckServer::defaultMaxConnections),
        QStringLiteral("count"), QString::number(tessaline::CheckServer::defaultMaxConnections));
    parser.addOptions({certOption, keyOption, addressOption, portOption, threadsOption, timeoutOption, connectionsOption});
    parser.process(app);

    if (!parser.isSet(certOption) || !parser.isSet(keyOption))
        return fail(QStringLiteral("--cert and --key are both required (see --help)."));

    QFile certFile(parser.value(certOption));
    if (!certFile.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read the certificate %1.").arg(certFile.fileName()));
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certFile.readAll(), QSsl::Pem);
    if (chain.isEmpty())
        return fail(QStringLiteral("%1 holds no PEM certificate.").arg(certFile.fileName()));

    QFile keyFile(parser.value(keyOption));
    if (!keyFile.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read the key %1.").arg(keyFile.fileName()));
    const QSslKey key = readKey(keyFile.readAll());
    if (key.isNull())
        return fail(QStringLiteral("%1 holds no unencrypted PEM private key.").arg(keyFile.fileName()));

    const QHostAddress address(parser.value(addressOption));
    if (address.isNull())
        return fail(QStringLiteral("%1 is not an IP address.").arg(parser.value(addressOption)));
    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535)
        return fail(QStringLiteral("%1 is not a port number.").arg(parser.value(portOption)));

    bool threadsOk = false;
    const int threads = parser.value(threadsOption).toInt(&threadsOk);
    if (!threadsOk || threads < 1 || threads > 256)
        return fail(QStringLiteral("%1 is not a thread count from 1 to 256.").arg(parser.value(threadsOption)));

    bool timeoutOk = false;
    const double timeoutSeconds = parser.value(timeoutOption).toDouble(&timeoutOk);
    if (!timeoutOk || !(timeoutSeconds >= 0.1 && timeoutSeconds <= 3600))
        return fail(QStringLiteral("%1 is not a number of seconds from 0.1 to 3600.").arg(parser.value(timeoutOption)));
    const std::chrono::milliseconds requestTimeout(static_cast<qint64>(timeoutSeconds * 1000));

    bool connectionsOk = false;
    const int maxConnections = parser.value(connectionsOption).toInt(&connectionsOk);
    if (!connectionsOk || maxConnections < 1 || maxConnections > 100000)
        return fail(QStringLiteral("%1 is not a connection count from 1 to 100000.").arg(parser.value(connectionsOption)));
    const auto budget = std::make_shared<tessaline::ConnectionBudget>(maxConnections);

    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificateChain(chain);
    tls.setPrivateKey(key);
    tls.setProtocol(QSsl::SecureProtocols);

    // One thread serves on the main event loop; more share the port, one loop each.
    tessaline::CheckServer server;
    tessaline::WorkerPool pool;
    quint16 bound = 0;
    if (threads == 1) {
        server.setRequestTimeout(requestTimeout);
        server.setConnectionBudget(budget);
        server.sslSetup(tls);
        bound = server.listenGuarded(address, static_cast<quint16>(port));
    } else {
        bound = pool.start(tls, address, static_cast<quint16>(port), threads, requestTimeout, budget);
    }
    if (bound == 0)
        return fail(QStringLiteral("cannot listen on %1 port %2.").arg(address.toString()).arg(port));

    // Tests and the run script read this line to learn the port.
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
        ? QStringLiteral("[%1]").arg(address.toString()) : address.toString();
    std::printf("Listening on https://%s:%u\n", qPrintable(host), static_cast<unsigned>(bound));
    std::fflush(stdout);
    return app.exec();
}
