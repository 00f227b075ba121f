#pragma once

#include "ReadyProcess.h"
#include "TestHttpsServer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QTest>

#include <memory>

// The real service executable with the test authority's certificate, on a loopback port.
struct ServiceProcess : ReadyProcess {
    quint16 port = 0;

    // Port 0 picks a free port; the ready line says which.
    bool start(const QStringList &options = {}, quint16 listenPort = 0)
    {
        const QStringList tls{"--cert", TestHttpsServer::tlsFile("server.pem"), "--key", TestHttpsServer::tlsFile("server.key")};
        if (!ReadyProcess::start(QStringLiteral(TESSALINE_BUILD_DIR "/bin/tessaline-service"),
                                 tls + QStringList{"--port", QString::number(listenPort)} + options,
                                 QRegularExpression(QStringLiteral("^Listening on https://[^ ]+:(\\d+)$"))))
            return false;
        port = ready.captured(1).toUShort();
        return true;
    }

    static QSslConfiguration trustingTestAuthority()
    {
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setCaCertificates({TestHttpsServer::authority()});
        return config;
    }

    // The check API of whatever listens at that loopback port, trusting the test authority.
    static QNetworkRequest api(quint16 port, const QByteArray &contentType = "application/json")
    {
        QNetworkRequest r(QUrl(QStringLiteral("https://127.0.0.1:%1/api/tessaline").arg(port)));
        r.setSslConfiguration(trustingTestAuthority());
        r.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
        return r;
    }

    // Waits up to 30 s for the reply and lets it go. Its status (-1: not finished, 0: no
    // answer), and its body, or the network's error when no answer came.
    static int finish(QNetworkReply *reply, QByteArray *body = nullptr)
    {
        const std::unique_ptr<QNetworkReply> owned(reply);
        QSignalSpy done(reply, &QNetworkReply::finished);
        if (!reply->isFinished() && !done.wait(30000))
            return -1;
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (body)
            *body = status ? reply->readAll() : reply->errorString().toUtf8();
        return status;
    }

    // Check number n, whose answer names n in the quota's wording and in the packet, so
    // that an answer given to the wrong client shows.
    static QNetworkReply *postNumbered(QNetworkAccessManager &nam, quint16 port, int n)
    {
        const QJsonObject body{{"task", QStringLiteral("Fix the overflow in ring_%1.c and add a test.").arg(n)},
                               {"quota", QJsonObject{{"fiveHourRemainingPercent", n % 100}}}};
        QNetworkReply *reply = nam.post(api(port), QJsonDocument(body).toJson(QJsonDocument::Compact));
        reply->setProperty("n", n);
        return reply;
    }

    // Empty when the reply is the answer to exactly its numbered check; else what is wrong.
    static QString wrongAnswer(QNetworkReply *reply)
    {
        const int n = reply->property("n").toInt();
        QByteArray body;
        const int status = finish(reply, &body);
        const QJsonObject answer = QJsonDocument::fromJson(body).object();
        if (status == 200 && answer["quota"]["reason"].toString().startsWith(QStringLiteral("Five-hour window %1% left").arg(n % 100))
            && answer["taskPacket"].toString().contains(QStringLiteral("ring_%1.c").arg(n)))
            return {};
        return QStringLiteral("check %1: status %2: %3").arg(n).arg(status).arg(QString::fromUtf8(body));
    }
};
