#pragma once

#include "ReadyProcess.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <utility>
#include <vector>

// A private D-Bus session bus for one test. The only services it can start are those
// whose .service files the test put into the bus's own folder, and what it starts
// inherits the environment the bus was started with. The user's session bus is never
// involved.
struct PrivateBus {
    QTemporaryDir dir{QStringLiteral("/tmp/tess.XXXXXX")}; // short: holds the bus socket
    ReadyProcess daemon;
    QString address;

    // Services as their packages installed them, to be started by this bus as by a desktop's.
    static std::vector<std::pair<QString, QByteArray>> installed(const QStringList &names)
    {
        std::vector<std::pair<QString, QByteArray>> services;
        for (const QString &name : names) {
            QFile file(QStringLiteral("/usr/share/dbus-1/services/%1.service").arg(name));
            const QByteArray text = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
            services.push_back({name + QStringLiteral(".service"), text});
        }
        return services;
    }

    // `services`: file name and contents of each activatable service.
    bool start(const std::vector<std::pair<QString, QByteArray>> &services = {},
               const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
    {
        QFile config(QStringLiteral(TESSALINE_FIXTURES "/app/private-bus.conf"));
        if (!dir.isValid() || !QDir(dir.path()).mkpath(QStringLiteral("services")) || !config.open(QIODevice::ReadOnly))
            return false;
        for (const auto &[name, text] : services) {
            QFile file(dir.filePath(QStringLiteral("services/") + name));
            if (text.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
                return false;
        }
        QFile written(dir.filePath(QStringLiteral("bus.conf")));
        if (!written.open(QIODevice::WriteOnly) || written.write(QString::fromUtf8(config.readAll()).arg(dir.path()).toUtf8()) <= 0)
            return false;
        written.close();
        daemon.process.setProcessEnvironment(environment);
        if (!daemon.start(QStringLiteral("dbus-daemon"), {"--nofork", "--print-address=1", "--config-file=" + written.fileName()},
                          QRegularExpression(QStringLiteral("^unix:.+"))))
            return false;
        address = daemon.ready.captured(0);
        return true;
    }
};
