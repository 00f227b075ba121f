#pragma once

// A controller wired to a real fixture helper, a local HTTPS check service, a settings
// file in a temporary directory and a notifier whose posts are counted.

#include "TestHttpsServer.h"
#include "TestJson.h"
#include "check/CheckTransport.h"
#include "platform/InstallIdentity.h"
#include "platform/SettingsStore.h"
#include "reserve/RunNotifier.h"
#include "window/MainWindowController.h"

#include <QDBusConnection>
#include <QPushButton>
#include <QtTest>

namespace windowtest {

using namespace tessaline;
using namespace testjson;

// The helper is a real process; the reader hands our environment on to it.
inline void helperAnswers(const QByteArray &json)
{
    qputenv("QUORVEL_EXECUTABLE", TESSALINE_FIXTURES "/helpers/helper.sh");
    qputenv("FIXTURE_MODE", json.isEmpty() ? "fail" : "output");
    qputenv("FIXTURE_STDOUT", json);
    qputenv("FIXTURE_STDERR", "offline");
    qputenv("FIXTURE_STATUS", "1");
}

// A fixture row's snapshot, its "windows" as snapshot() takes them; none: a failed read.
inline QByteArray snapshotOf(const QJsonObject &row)
{
    return row.contains("windows") ? snapshot(row.value("windows").toArray()) : QByteArray();
}

// A label's text, a button's title in brackets, a row of buttons, or "[spacer]".
inline QString describe(QWidget *view)
{
    if (auto *label = qobject_cast<QLabel *>(view))
        return label->text();
    if (auto *button = qobject_cast<QAbstractButton *>(view))
        return '[' + button->text() + ']';
    QStringList inner;
    for (auto *button : view->findChildren<QAbstractButton *>(Qt::FindDirectChildrenOnly))
        inner.append('[' + button->text() + ']');
    return inner.isEmpty() ? QStringLiteral("[spacer]") : inner.join(' ');
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
    std::shared_ptr<QSettingsStore> settings =
        std::make_shared<QSettingsStore>(dir.filePath(QStringLiteral("settings.ini")));
    TestHttpsServer server;
    // Installed-looking, over a bus that is not connected: every post settles at once.
    RunNotifier notifier{QDBusConnection(QStringLiteral("tessaline-window-test-no-bus")),
                         InstallIdentity{QStringLiteral("tessaline.desktop"), QStringLiteral("/opt/t/bin/tessaline")}};
    QSignalSpy notified{&notifier, &RunNotifier::handled};
    std::unique_ptr<MainWindowController> controller;

    bool listening = server.listen();

    MainWindowController &make()
    {
        if (!listening)
            qFatal("the test HTTPS server did not start");
        controller = std::make_unique<MainWindowController>(MainWindowController::Dependencies{
            settings, CheckEndpoint{server.host(), {TestHttpsServer::authority()}}, &notifier});
        return *controller;
    }
    MainWindowController &withQuota(const QByteArray &json)
    {
        helperAnswers(json);
        make();
        if (!QTest::qWaitFor([this] { return controller->usage.has_value(); }, 10000))
            qWarning("the quota read did not deliver a snapshot");
        return *controller;
    }
    QWidget *shown()
    {
        QWidget *window = controller->window();
        window->show();
        if (!QTest::qWaitForWindowExposed(window))
            qWarning("the window was not exposed");
        return window;
    }
    bool checkWith(const QByteArray &body, int status = 200, const QString &task = QStringLiteral("Fix the bug"))
    {
        server.respondWith(TestHttpsServer::Response::json(status, body));
        controller->input->setPlainText(task);
        controller->check();
        return QTest::qWaitFor([this] { return !controller->request; }, 15000);
    }
    // An answer laid out as if the check had just returned it.
    void rendered(const QByteArray &body)
    {
        const Expected<TaskLintResult> result = TaskLintResult::decode(body);
        if (!result)
            qFatal("the test's answer does not decode: %s", body.constData());
        controller->render(*result);
    }
    // Quota 40/90, then an answer with a standard policy and two lints.
    MainWindowController &readyToStart()
    {
        withQuota(quota(40, 90));
        const QJsonArray lints{lint("t", "f", "", "scope"), lint("t2", "f2", "m", "tests")};
        rendered(answer({{"reservePolicy", "standard"}, {"taskSize", "small"}, {"lints", lints}}));
        return *controller;
    }
};

} // namespace windowtest
