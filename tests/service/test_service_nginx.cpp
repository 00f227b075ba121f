// The scale-out set-up as shipped: Debian's nginx with the site configuration from
// service/nginx/, in front of two service instances on loopback. nginx runs with its own
// prefix, configuration, pid and logs in a temporary folder, never as a system service.
#include "ServiceProcess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>

#include <algorithm>
#include <csignal>
#include <memory>
#include <unistd.h>

namespace {

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace

class TestServiceNginx : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    ReadyProcess nginx; // for its stop: SIGTERM, which nginx passes on to its worker
    quint16 port = 0;
    ServiceProcess instances[2];
    QNetworkAccessManager nam;

    QNetworkRequest api() const
    {
        QNetworkRequest r(QUrl(QStringLiteral("https://127.0.0.1:%1/api/tessaline").arg(port)));
        r.setSslConfiguration(ServiceProcess::trustingTestAuthority());
        r.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
        return r;
    }

    QNetworkReply *check(int n)
    {
        const QJsonObject body{{"task", QStringLiteral("Fix the overflow in ring_%1.c and add a test.").arg(n)},
                               {"quota", QJsonObject{{"fiveHourRemainingPercent", n % 100}}}};
        auto *reply = nam.post(api(), QJsonDocument(body).toJson(QJsonDocument::Compact));
        reply->setProperty("n", n);
        return reply;
    }

    // The answer to exactly that check, whichever instance gave it.
    static bool answered(QNetworkReply *reply)
    {
        if (!reply->isFinished()) {
            QSignalSpy done(reply, &QNetworkReply::finished);
            if (!done.wait(30000))
                return false;
        }
        const int n = reply->property("n").toInt();
        const QJsonObject answer = QJsonDocument::fromJson(reply->readAll()).object();
        reply->deleteLater();
        return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200
            && answer["quota"]["reason"].toString().startsWith(QStringLiteral("Five-hour window %1% left").arg(n % 100))
            && answer["taskPacket"].toString().contains(QStringLiteral("ring_%1.c").arg(n));
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString executable = QStandardPaths::findExecutable(QStringLiteral("nginx"), {QStringLiteral("/usr/sbin")});
        QVERIFY2(!executable.isEmpty(), "Debian's nginx is not installed (scripts/install-deps)");
        QVERIFY(dir.isValid());
        // Behind nginx every connection comes from nginx's own address.
        for (ServiceProcess &instance : instances)
            QVERIFY(instance.start({"--threads", "1", "--max-connections-per-address", "1024", "--max-handshakes-per-address", "1024"}));

        QFile shipped(QStringLiteral(TESSALINE_NGINX_SITE));
        QVERIFY(shipped.open(QIODevice::ReadOnly));
        QByteArray site = shipped.readAll();
        port = freePort();
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
        const QByteArray root = dir.path().toUtf8();
        const auto write = [this](const char *name, const QByteArray &text) {
            QFile file(dir.filePath(QLatin1String(name)));
            return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
        };
        // The main configuration Debian's /etc/nginx/nginx.conf would be, reduced to
        // what the site needs, with every path in the temporary folder. As root (CI),
        // the workers stay root so they can use that folder.
        const QByteArray main = QByteArray(::geteuid() == 0 ? "user root;\n" : "") + "daemon off;\nworker_processes 1;\n"
            "pid " + root + "/nginx.pid;\nerror_log " + root + "/error.log warn;\n"
            "events { worker_connections 512; }\n"
            "http {\n  access_log off;\n"
            "  client_body_temp_path " + root + "/body;\n  proxy_temp_path " + root + "/proxy;\n"
            "  fastcgi_temp_path " + root + "/fastcgi;\n  uwsgi_temp_path " + root + "/uwsgi;\n  scgi_temp_path " + root + "/scgi;\n"
            "  include " + root + "/tessaline.conf;\n}\n";
        QVERIFY(write("tessaline.conf", site) && write("nginx.conf", main));

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
        QFile log(dir.filePath(QStringLiteral("error.log")));
        QVERIFY2(QTest::qWaitFor(answers, 20000) && nginx.process.state() == QProcess::Running,
                 (nginx.process.readAll() + (log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray())).constData());
    }

    // One instance stops the worst way while checks are on their way to it: it hangs,
    // then is killed. nginx gives each of them to the other instance, and every check
    // gets its own answer.
    void oneInstanceStops()
    {
        // Both instances in rotation, with kept-alive connections from nginx to each.
        for (int n = 0; n < 20; ++n)
            QVERIFY2(answered(check(n)), qPrintable(QStringLiteral("check %1").arg(n)));
        const auto victim = static_cast<pid_t>(instances[0].process.processId());
        QCOMPARE(::kill(victim, SIGSTOP), 0);
        QList<QNetworkReply *> replies;
        for (int n = 20; n < 60; ++n)
            replies.append(check(n));
        // Once the other instance has answered some, nginx has handed about as many to
        // the hung one, which holds them.
        QVERIFY(QTest::qWaitFor([&replies] {
            return std::count_if(replies.cbegin(), replies.cend(), [](QNetworkReply *r) { return r->isFinished(); }) >= 2;
        }, 30000));
        QCOMPARE(::kill(victim, SIGKILL), 0);
        for (QNetworkReply *reply : std::as_const(replies))
            QVERIFY2(answered(reply), qPrintable(QStringLiteral("check %1: %2").arg(reply->property("n").toInt()).arg(reply->errorString())));
        QVERIFY(instances[0].process.state() == QProcess::NotRunning || instances[0].process.waitForFinished(20000));
        for (int n = 60; n < 80; ++n)
            QVERIFY2(answered(check(n)), qPrintable(QStringLiteral("check %1 after the stop").arg(n)));
    }

    // nginx keeps the service's limits at the front: a declared body over the largest
    // valid check is refused there.
    void limitsAtTheFront()
    {
        const std::unique_ptr<QNetworkReply> reply(nam.post(api(), QByteArray(784385, ' ')));
        QSignalSpy done(reply.get(), &QNetworkReply::finished);
        QVERIFY(reply->isFinished() || done.wait(30000));
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 413);
    }
};

QTEST_GUILESS_MAIN(TestServiceNginx)
#include "test_service_nginx.moc"
