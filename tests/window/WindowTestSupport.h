#pragma once

// What the window tests share: a controller wired to a fixture helper, a local HTTPS
// check service, a settings file in a temporary directory and a notifier whose posts
// are counted.

#include "TestHttpsServer.h"
#include "check/CheckTransport.h"
#include "platform/InstallIdentity.h"
#include "platform/SettingsStore.h"
#include "reserve/RunNotifier.h"
#include "window/MainWindowController.h"

#include <QAbstractButton>
#include <QDateTime>
#include <QDBusConnection>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace windowtest {

using namespace tessaline;

struct QuotaWindow {
    qint64 minutes;
    qint64 remaining;
    double resetsAt;
};

inline double now()
{
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
}

inline QByteArray snapshotJson(const QList<QuotaWindow> &windows)
{
    QJsonArray list;
    for (const QuotaWindow &w : windows)
        list.append(QJsonObject{{"name", QStringLiteral("w%1").arg(w.minutes)},
                                {"usedPercent", 100 - w.remaining},
                                {"remainingPercent", w.remaining},
                                {"windowDurationMins", w.minutes},
                                {"resetsAt", w.resetsAt}});
    return QJsonDocument(QJsonObject{{"schemaVersion", 1}, {"fetchedAt", now()}, {"windows", list}})
        .toJson(QJsonDocument::Compact);
}

// The usual snapshot: five-hour and weekly windows with these percentages left.
inline QByteArray quota(qint64 fiveHour, qint64 weekly)
{
    return snapshotJson({{300, fiveHour, now() + 3 * 3600}, {10080, weekly, now() + 4 * 86400}});
}

// The fixture helper is a real process; what it prints is chosen per read through the
// environment, which the reader hands on to it.
inline void helperAnswers(const QByteArray &json)
{
    qputenv("QUORVEL_EXECUTABLE", TESSALINE_FIXTURES "/helpers/helper.sh");
    qputenv("FIXTURE_MODE", "output");
    qputenv("FIXTURE_STDOUT", json);
}

inline void helperFails(const QByteArray &stderrText, int status = 1)
{
    qputenv("QUORVEL_EXECUTABLE", TESSALINE_FIXTURES "/helpers/helper.sh");
    qputenv("FIXTURE_MODE", "fail");
    qputenv("FIXTURE_STDERR", stderrText);
    qputenv("FIXTURE_STATUS", QByteArray::number(status));
}

inline void helperMissing()
{
    qputenv("QUORVEL_EXECUTABLE", "/nonexistent/quorvel");
}

// A check answer; `extra` adds or replaces keys.
inline QByteArray answer(const QJsonObject &extra = {})
{
    QJsonObject o{{"decision", "scope_down"},
                  {"quota", QJsonObject{{"band", "moderate"}, {"reason", "Enough quota for a bounded task."}}}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        o.insert(it.key(), it.value());
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// What a view of the result area or run panel shows: a label's text, a button's title
// in brackets, or "[spacer]".
inline QString describe(QWidget *view)
{
    if (auto *label = qobject_cast<QLabel *>(view))
        return label->text();
    if (auto *button = qobject_cast<QAbstractButton *>(view))
        return QLatin1Char('[') + button->text() + QLatin1Char(']');
    QStringList inner;
    for (auto *button : view->findChildren<QAbstractButton *>(Qt::FindDirectChildrenOnly))
        inner.append(QLatin1Char('[') + button->text() + QLatin1Char(']'));
    return inner.isEmpty() ? QStringLiteral("[spacer]") : inner.join(QLatin1Char(' '));
}

inline QStringList describe(const StackView *stack)
{
    QStringList out;
    for (QWidget *view : stack->arrangedViews())
        out.append(describe(view));
    return out;
}

struct Rig {
    QTemporaryDir dir;
    std::shared_ptr<QSettingsStore> settings;
    TestHttpsServer server;
    // An installed-looking identity over a bus that is not connected: every notify()
    // settles at once as not posted, which the spy counts.
    RunNotifier notifier{QDBusConnection(QStringLiteral("tessaline-window-test-no-bus")),
                         InstallIdentity{QStringLiteral("tessaline.desktop"), QStringLiteral("/opt/t/bin/tessaline")}};
    QSignalSpy notified{&notifier, &RunNotifier::handled};
    std::unique_ptr<MainWindowController> controller;

    Rig()
    {
        settings = std::make_shared<QSettingsStore>(dir.filePath(QStringLiteral("settings.ini")));
        if (!server.listen())
            qFatal("the test HTTPS server did not start");
    }

    CheckEndpoint endpoint() const
    {
        return CheckEndpoint{server.host(), {TestHttpsServer::authority()}};
    }

    MainWindowController &make(std::optional<CheckEndpoint> at = std::nullopt)
    {
        controller = std::make_unique<MainWindowController>(
            MainWindowController::Dependencies{settings, at ? *at : endpoint(), &notifier});
        return *controller;
    }

    // Waits for the quota read in flight to finish.
    bool quotaSettled() const
    {
        const MainWindowController &c = *controller;
        return c.quotaStatus->text() != QStringLiteral("Reading your current Codex quota…");
    }

    // A controller whose quota has been read with the given snapshot.
    MainWindowController &withQuota(const QByteArray &json)
    {
        helperAnswers(json);
        make();
        if (!QTest::qWaitFor([this] { return controller->usage.has_value(); }, 10000))
            qWarning("the quota read did not deliver a snapshot");
        return *controller;
    }

    // Sends a check of `task` and waits for its outcome.
    bool checkWith(const QByteArray &body, int status = 200, const QString &task = QStringLiteral("Fix the bug"))
    {
        server.respondWith(TestHttpsServer::Response::json(status, body));
        controller->input->setPlainText(task);
        controller->check();
        return QTest::qWaitFor([this] { return !controller->request; }, 15000);
    }
};

} // namespace windowtest
