#pragma once

#include "ReadyProcess.h"
#include "TestHttpsServer.h"

#include <QSslConfiguration>
#include <QTest>

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
};
