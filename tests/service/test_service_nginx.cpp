// The scale-out set-up as shipped: Debian's nginx with the site configuration from
// service/nginx/, in front of two service instances on loopback. nginx runs with its own
// prefix, configuration, pid and logs in a temporary folder, never as a system service.
#include "ServiceProcess.h"

#include <QFile>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>

#include <algorithm>
#include <csignal>
#include <unistd.h>

class TestServiceNginx : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    ReadyProcess nginx; // for its stop: SIGTERM, which nginx passes on to its worker
    quint16 port = 0;
    ServiceProcess instances[2];
    QNetworkAccessManager nam;

    static QByteArray read(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // Check number n, through nginx; empty when its own answer came back.
    QString check(int n) { return ServiceProcess::wrongAnswer(ServiceProcess::postNumbered(nam, port, n)); }

private Q_SLOTS:
    void initTestCase()
    {
        const QString executable = QStandardPaths::findExecutable(QStringLiteral("nginx"), {QStringLiteral("/usr/sbin")});
        QVERIFY2(!executable.isEmpty(), "Debian's nginx is not installed (scripts/install-deps)");
        QVERIFY(dir.isValid());
        // Behind nginx every connection comes from nginx's own address.
        for (ServiceProcess &instance : instances)
            QVERIFY(instance.start({"--threads", "1", "--max-connections-per-address", "1024", "--max-handshakes-per-address", "1024"}));

        QByteArray site = read(QStringLiteral(TESSALINE_NGINX_SITE));
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            port = probe.serverPort();
        }
        // Only the addresses, ports and files of this machine change; each must be there.
        const QList<QPair<QByteArray, QByteArray>> local{
            {"    listen 443 ssl;\n", "    listen 127.0.0.1:" + QByteArray::number(port) + " ssl;\n"},
            {"    listen [::]:443 ssl;\n", ""},
            {"127.0.0.1:8443", "127.0.0.1:" + QByteArray::number(instances[0].port)},
            {"127.0.0.1:8444", "127.0.0.1:" + QByteArray::number(instances[1].port)},
            {"/etc/ssl/certs/tessaline-check.pem", TestHttpsServer::tlsFile("server.pem").toUtf8()},
            {"/etc/ssl/private/tessaline-check.key", TestHttpsServer::tlsFile("server.key").toUtf8()},
            {"/etc/ssl/certs/tessaline-instances-ca.pem", TestHttpsServer::tlsFile("ca.pem").toUtf8()},
        };
        for (const auto &[from, to] : local) {
            QVERIFY2(site.contains(from), from.constData());
            site.replace(from, to);
        }
        const QByteArray main = read(QStringLiteral(TESSALINE_FIXTURES "/service/nginx.conf"))
                                    .replace("@USER@", ::geteuid() == 0 ? "user root;" : "")
                                    .replace("@ROOT@", dir.path().toUtf8());
        for (const auto &[name, text] : {std::pair{"tessaline.conf", site}, std::pair{"nginx.conf", main}}) {
            QFile file(dir.filePath(QLatin1String(name)));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
        }

        nginx.process.setProcessChannelMode(QProcess::MergedChannels);
        nginx.process.start(executable, {"-p", dir.path(), "-e", dir.filePath(QStringLiteral("error.log")), "-c", dir.filePath(QStringLiteral("nginx.conf"))});
        QVERIFY(nginx.process.waitForStarted(20000));
        // nginx says nothing when it is ready: knock until it answers TLS.
        const auto answers = [this] {
            QSslSocket probe;
            probe.setSslConfiguration(ServiceProcess::trustingTestAuthority());
            probe.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port, QStringLiteral("localhost"));
            return nginx.process.state() != QProcess::Running || probe.waitForEncrypted(2000);
        };
        QVERIFY2(QTest::qWaitFor(answers, 20000) && nginx.process.state() == QProcess::Running,
                 (nginx.process.readAll() + read(dir.filePath(QStringLiteral("error.log")))).constData());
    }

    // One instance stops the worst way while checks are on their way to it: it hangs,
    // then is killed. nginx gives each of them to the other instance, and every check
    // gets its own answer.
    void oneInstanceStops()
    {
        // Both instances in rotation, with kept-alive connections from nginx to each.
        for (int n = 0; n < 20; ++n)
            QCOMPARE(check(n), QString());
        const auto victim = static_cast<pid_t>(instances[0].process.processId());
        QCOMPARE(::kill(victim, SIGSTOP), 0);
        QList<QNetworkReply *> replies;
        for (int n = 20; n < 60; ++n)
            replies.append(ServiceProcess::postNumbered(nam, port, n));
        // Once the other instance has answered some, nginx has handed about as many to
        // the hung one, which holds them.
        QVERIFY(QTest::qWaitFor([&replies] {
            return std::count_if(replies.cbegin(), replies.cend(), [](QNetworkReply *r) { return r->isFinished(); }) >= 2;
        }, 30000));
        QCOMPARE(::kill(victim, SIGKILL), 0);
        for (QNetworkReply *reply : std::as_const(replies))
            QCOMPARE(ServiceProcess::wrongAnswer(reply), QString());
        QVERIFY(instances[0].process.state() == QProcess::NotRunning || instances[0].process.waitForFinished(20000));
        for (int n = 60; n < 80; ++n) // after the stop
            QCOMPARE(check(n), QString());
    }

    // nginx keeps the service's limits at the front: a declared body over the largest
    // valid check is refused there.
    void limitsAtTheFront()
    {
        QCOMPARE(ServiceProcess::finish(nam.post(ServiceProcess::api(port), QByteArray(784385, ' '))), 413);
    }
};

QTEST_GUILESS_MAIN(TestServiceNginx)
#include "test_service_nginx.moc"
