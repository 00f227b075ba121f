#pragma once

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QSslCertificate>
#include <QTest>

// Starts the real service executable with the test certificate on a free loopback port
// and waits for it to say where it listens.
class ServiceProcess {
public:
    QProcess process;
    quint16 port = 0;
    QString threads;

    bool start(quint16 listenPort = 0, const QStringList &extra = {})
    {
        const QString tls = QStringLiteral(TESSALINE_FIXTURES "/service/tls/");
        process.setProgram(QStringLiteral(TESSALINE_BUILD_DIR "/bin/tessaline-service"));
        process.setArguments(QStringList{"--cert", tls + "server.pem", "--key", tls + "server.key", "--port", QString::number(listenPort)} + extra);
        process.start();
        if (!process.waitForStarted())
            return false;
        const QRegularExpression listening(QStringLiteral("^Listening on https://[^ ]+:(\\d+)$"));
        QByteArray out;
        QDeadlineTimer deadline(20000);
        while (!deadline.hasExpired() && process.state() == QProcess::Running) {
            if (process.canReadLine() || process.waitForReadyRead(200)) {
                out += process.readLine();
                if (out.endsWith('\n')) {
                    const auto m = listening.match(QString::fromUtf8(out.trimmed()));
                    if (m.hasMatch()) {
                        port = m.captured(1).toUShort();
                        return true;
                    }
                    out.clear();
                }
            }
        }
        return false;
    }

    ~ServiceProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(5000))
                process.kill();
            process.waitForFinished();
        }
    }

    static QSslConfiguration trustingTestAuthority()
    {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(QSslCertificate::fromPath(QStringLiteral(TESSALINE_FIXTURES "/service/tls/ca.pem")));
        return tls;
    }
};
