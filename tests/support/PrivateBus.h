#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <utility>
#include <vector>

// A private D-Bus session bus for one test. The only services it can start are those
// whose .service files the test put into the bus's own folder, and what it starts
// inherits the environment the bus was started with. The user's session bus is never
// involved.
struct PrivateBus {
    QTemporaryDir dir{QStringLiteral("/tmp/tess.XXXXXX")}; // short: holds the bus socket
    QProcess daemon;
    QString address;

    // `services`: file name and contents of each activatable service.
    bool start(const std::vector<std::pair<QString, QByteArray>> &services = {},
               const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
    {
        if (!dir.isValid() || !QDir(dir.path()).mkpath(QStringLiteral("services")))
            return false;
        for (const auto &[name, text] : services) {
            QFile file(dir.filePath(QStringLiteral("services/") + name));
            if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
                return false;
        }
        QFile config(dir.filePath(QStringLiteral("bus.conf")));
        if (!config.open(QIODevice::WriteOnly))
            return false;
        config.write(QStringLiteral(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=%1</listen>
  <auth>EXTERNAL</auth>
  <servicedir>%1/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/>
  </policy>
</busconfig>
)").arg(dir.path()).toUtf8());
        config.close();
        daemon.setProcessEnvironment(environment);
        daemon.start(QStringLiteral("dbus-daemon"),
                     {"--nofork", "--print-address=1", "--config-file=" + config.fileName()});
        if (!daemon.waitForStarted())
            return false;
        while (!daemon.canReadLine())
            if (!daemon.waitForReadyRead(10000))
                return false;
        address = QString::fromUtf8(daemon.readLine()).trimmed();
        return !address.isEmpty();
    }

    ~PrivateBus()
    {
        daemon.terminate();
        daemon.waitForFinished();
    }
};
