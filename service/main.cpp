// tessaline-service: the reference task-check service and its web checker page.

#include "service/CheckServer.h"
#include "service/WorkerPool.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
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
    // Qt's own poll-based event loop rather than GLib's: the service needs nothing of
    // GLib, and GLib's loop costs a wake-up write for every event posted, which is about
    // a fifth of the CPU time of answering a small request.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
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
    // Every limit is an option; the defaults come from ServiceLimits.
    const tessaline::ServiceLimits defaults;
    const auto seconds = [](std::chrono::milliseconds ms) { return QString::number(ms.count() / 1000.0); };
    struct Limit {
        QCommandLineOption option;
        double min, max;
        bool isSeconds;
    };
    const QList<Limit> limitOptions{
        {{QStringLiteral("max-connections"), QStringLiteral("Connections served at once; more are answered 503 (default %1).")
              .arg(defaults.maxConnections), QStringLiteral("count"), QString::number(defaults.maxConnections)}, 1, 100000, false},
        {{QStringLiteral("max-connections-per-address"),
          QStringLiteral("Connections one client address (an IPv6 /64) may hold; more are answered 503 (default %1).")
              .arg(defaults.maxConnectionsPerAddress), QStringLiteral("count"), QString::number(defaults.maxConnectionsPerAddress)}, 1, 100000, false},
        {{QStringLiteral("max-handshakes-per-address"),
          QStringLiteral("Connections of one address still in the TLS handshake; more are closed at once (default %1).")
              .arg(defaults.maxHandshakesPerAddress), QStringLiteral("count"), QString::number(defaults.maxHandshakesPerAddress)}, 1, 100000, false},
        {{QStringLiteral("handshake-timeout"), QStringLiteral("Seconds for the TLS handshake (default %1).").arg(seconds(defaults.handshakeTimeout)),
          QStringLiteral("seconds"), seconds(defaults.handshakeTimeout)}, 0.1, 3600, true},
        {{QStringLiteral("idle-timeout"), QStringLiteral("Seconds a connection may wait between requests (default %1).").arg(seconds(defaults.idleTimeout)),
          QStringLiteral("seconds"), seconds(defaults.idleTimeout)}, 0.1, 3600, true},
        {{QStringLiteral("header-timeout"),
          QStringLiteral("Seconds from a request's first byte to the end of its header fields (default %1).").arg(seconds(defaults.headerTimeout)),
          QStringLiteral("seconds"), seconds(defaults.headerTimeout)}, 0.1, 3600, true},
        {{QStringLiteral("request-timeout"),
          QStringLiteral("Seconds from a request's first byte to its last (default %1).").arg(seconds(defaults.requestTimeout)),
          QStringLiteral("seconds"), seconds(defaults.requestTimeout)}, 0.1, 3600, true},
        {{QStringLiteral("retry-after"), QStringLiteral("Seconds a 503 answer asks the client to wait (default %1).").arg(defaults.retryAfterSeconds),
          QStringLiteral("seconds"), QString::number(defaults.retryAfterSeconds)}, 0, 3600, false},
    };
    parser.addOptions({certOption, keyOption, addressOption, portOption, threadsOption});
    for (const Limit &limit : limitOptions)
        parser.addOption(limit.option);
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

    tessaline::ServiceLimits limits;
    for (const Limit &limit : limitOptions) {
        bool ok = false;
        const QString text = parser.value(limit.option);
        const double value = limit.isSeconds ? text.toDouble(&ok) : text.toInt(&ok);
        if (!ok || !(value >= limit.min && value <= limit.max))
            return fail(QStringLiteral("--%1: %2 is not a number from %3 to %4.")
                            .arg(limit.option.names().constFirst(), text).arg(limit.min).arg(limit.max));
        const QString name = limit.option.names().constFirst();
        const std::chrono::milliseconds ms(static_cast<qint64>(value * 1000));
        if (name == QLatin1String("max-connections"))
            limits.maxConnections = int(value);
        else if (name == QLatin1String("max-connections-per-address"))
            limits.maxConnectionsPerAddress = int(value);
        else if (name == QLatin1String("max-handshakes-per-address"))
            limits.maxHandshakesPerAddress = int(value);
        else if (name == QLatin1String("handshake-timeout"))
            limits.handshakeTimeout = ms;
        else if (name == QLatin1String("idle-timeout"))
            limits.idleTimeout = ms;
        else if (name == QLatin1String("header-timeout"))
            limits.headerTimeout = ms;
        else if (name == QLatin1String("request-timeout"))
            limits.requestTimeout = ms;
        else if (name == QLatin1String("retry-after"))
            limits.retryAfterSeconds = int(value);
    }
    const auto admission = std::make_shared<tessaline::Admission>(limits);

    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificateChain(chain);
    tls.setPrivateKey(key);
    tls.setProtocol(QSsl::SecureProtocols);

    // One thread serves on the main event loop; more share the port, one loop each.
    tessaline::CheckServer server(tls, admission);
    tessaline::WorkerPool pool;
    const quint16 bound = threads == 1 ? server.listen(address, static_cast<quint16>(port))
                                       : pool.start(tls, address, static_cast<quint16>(port), threads, admission);
    if (bound == 0)
        return fail(QStringLiteral("cannot listen on %1 port %2.").arg(address.toString()).arg(port));

    // Tests and the run script read this line to learn the port.
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
        ? QStringLiteral("[%1]").arg(address.toString()) : address.toString();
    std::printf("Listening on https://%s:%u\n", qPrintable(host), static_cast<unsigned>(bound));
    std::fflush(stdout);
    return app.exec();
}
