#include "TestHttpsServer.h"

#include <QFile>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTimer>
#include <QtDebug>

namespace {

QByteArray readFixture(const char *name)
{
    QFile file(TestHttpsServer::tlsFile(name));
    if (!file.open(QIODevice::ReadOnly))
        qWarning("TestHttpsServer: cannot read %s", qPrintable(file.fileName()));
    return file.readAll();
}

QByteArray build(const TestHttpsServer::Response &response)
{
    // Clients ignore the reason phrase.
    QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + " Test\r\n";
    for (const auto &[name, value] : response.headers)
        out += name + ": " + value + "\r\n";
    return out + "Content-Length: " + QByteArray::number(response.body.size()) + "\r\nConnection: close\r\n\r\n" + response.body;
}

} // namespace

QByteArray TestHttpsServer::Request::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return {};
}

TestHttpsServer::TestHttpsServer(QObject *parent) : QObject(parent)
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificate(QSslCertificate(readFixture("server.pem"), QSsl::Pem));
    tls.setPrivateKey(QSslKey(readFixture("server.key"), QSsl::Ec, QSsl::Pem));
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    server.setSslConfiguration(tls);
    respondWith(Response::json(200, "{}"));
    connect(&server, &QTcpServer::pendingConnectionAvailable, this, &TestHttpsServer::accept);
}

bool TestHttpsServer::listen()
{
    const bool listening = server.listen(QHostAddress::LocalHost, 0);
    if (!listening)
        qWarning("TestHttpsServer: cannot listen: %s", qPrintable(server.errorString()));
    return listening;
}

QString TestHttpsServer::tlsFile(const char *name)
{
    return QStringLiteral(TESSALINE_TLS_FIXTURES "/") + QLatin1String(name);
}

QSslCertificate TestHttpsServer::authority()
{
    return QSslCertificate(readFixture("ca.pem"), QSsl::Pem);
}

void TestHttpsServer::accept()
{
    while (server.hasPendingConnections()) {
        auto *socket = static_cast<QSslSocket *>(server.nextPendingConnection()); // what a QSslServer makes
        socket->setParent(this);
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        serve(socket);
    }
}

void TestHttpsServer::serve(QSslSocket *socket)
{
    auto buffer = std::make_shared<QByteArray>();
    const auto onData = [this, socket, buffer] {
        *buffer += socket->readAll();
        const qsizetype headerEnd = buffer->indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        Request request;
        const QList<QByteArray> lines = buffer->left(headerEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        for (const QByteArray &line : lines.mid(1)) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0)
                request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        }
        const qsizetype contentLength = request.header("Content-Length").toLongLong();
        if (buffer->size() - (headerEnd + 4) < contentLength)
            return;
        request.body = buffer->mid(headerEnd + 4, contentLength);
        socket->disconnect(this); // one request per connection

        received.append(request);
        const Response response = handler(request);
        Q_EMIT requestReceived();
        if (response.stall)
            return;
        const QByteArray whole = build(response);
        if (response.trickleMs <= 0) {
            socket->write(whole);
            socket->disconnectFromHost();
            return;
        }
        const qsizetype head = whole.indexOf("\r\n\r\n") + 4;
        socket->write(whole.left(head));
        auto *timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, [socket, timer, rest = whole.mid(head)]() mutable {
            socket->write(rest.left(1));
            rest.remove(0, 1);
            if (rest.isEmpty()) {
                timer->stop();
                socket->disconnectFromHost();
            }
        });
        timer->start(response.trickleMs);
    };
    connect(socket, &QIODevice::readyRead, this, onData);
    onData();
}
