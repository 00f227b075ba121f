// tessaline-service: the reference task-check service and its web checker page.

#include "service/CheckServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QTextStream>

#include <cstdio>

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

} // namespace

int main(int argc, char *argv[])
{
    // The service must never write request content anywhere, not even through the
    // HTTP module's own debug output.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.httpserver*=false"));

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tessaline-service"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TESSALINE_VERSION));

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
    parser.addOptions({certOption, keyOption, addressOption, portOption});
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

    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificateChain(chain);
    tls.setPrivateKey(key);
    tls.setProtocol(QSsl::SecureProtocols);

    tessaline::CheckServer server;
    server.sslSetup(tls);
    const quint16 bound = server.listenGuarded(address, static_cast<quint16>(port));
    if (bound == 0)
        return fail(QStringLiteral("cannot listen on %1 port %2.").arg(address.toString()).arg(port));

    // Tests and the run script read this line to learn the port.
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
        ? QStringLiteral("[%1]").arg(address.toString()) : address.toString();
    std::printf("Listening on https://%s:%u\n", qPrintable(host), static_cast<unsigned>(bound));
    std::fflush(stdout);
    return app.exec();
}
