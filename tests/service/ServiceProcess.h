#pragma once

#include <QProcess>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTest>

// The real service executable with the test certificate, on a loopback port.
class ServiceProcess {
public:
    QProcess process;
    quint16 port = 0;
    QString threads;

    static QString tls(const char *file) { return QStringLiteral(TESSALINE_FIXTURES "/service/tls/") + QLatin1String(file); }

    // Waits for the line saying where it listens, so port 0 picks a free port.
    bool start(quint16 listenPort = 0, const QStringList &extra = {})
    {
        process.start(QStringLiteral(TESSALINE_BUILD_DIR "/bin/tessaline-service"),
                      QStringList{"--cert", tls("server.pem"), "--key", tls("server.key"), "--port", QString::number(listenPort)} + extra);
        const QRegularExpression listening(QStringLiteral("^Listening on https://[^ ]+:(\\d+)$"));
        QDeadlineTimer deadline(20000);
        while (!deadline.hasExpired() && process.state() != QProcess::NotRunning) {
            if (!process.canReadLine() && !process.waitForReadyRead(200))
                continue;
            const auto m = listening.match(QString::fromUtf8(process.readLine().trimmed()));
            if (m.hasMatch()) {
                port = m.captured(1).toUShort();
                return true;
            }
        }
        return false;
    }

    ~ServiceProcess()
    {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished();
    }

    static QSslConfiguration trustingTestAuthority()
    {
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setCaCertificates(QSslCertificate::fromPath(tls("ca.pem")));
        return config;
    }
};
