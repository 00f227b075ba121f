#include "platform/SingleInstance.h"

#include <QFile>
#include <QLocalSocket>
#include <QLockFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <future>
#include <thread>

using namespace tessaline;
using Role = SingleInstance::Role;

namespace {

// A later launch, claiming from another thread while this one's event loop answers.
std::future<Role> claimElsewhere(const QString &name)
{
    return std::async(std::launch::async, [name] { return SingleInstance(name).claim(); });
}

Role waitFor(std::future<Role> &future)
{
    while (future.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return future.get();
}

} // namespace

class TestSingleInstance : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        runtime = std::make_unique<QTemporaryDir>();
        QVERIFY(runtime->isValid());
        QFile::setPermissions(runtime->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", runtime->path().toLocal8Bit());
    }

    void secondLaunchHandsOver()
    {
        SingleInstance first(QStringLiteral("tessaline"));
        QCOMPARE(first.claim(), Role::Primary);
        QSignalSpy opened(&first, &SingleInstance::openRequested);

        auto second = claimElsewhere(QStringLiteral("tessaline"));
        QCOMPARE(waitFor(second), Role::HandedOver);
        QCOMPARE(opened.count(), 1);
        auto third = claimElsewhere(QStringLiteral("tessaline"));
        QCOMPARE(waitFor(third), Role::HandedOver);
        QCOMPARE(opened.count(), 2);
    }

    void leftoversOfACrashedCopyDoNotBlock_data()
    {
        QTest::addColumn<bool>("staleLock");
        QTest::addColumn<bool>("staleSocket");
        QTest::newRow("lock of a dead process") << true << false;
        QTest::newRow("socket file left behind") << false << true;
        QTest::newRow("both") << true << true;
    }
    void leftoversOfACrashedCopyDoNotBlock()
    {
        QFETCH(bool, staleLock);
        QFETCH(bool, staleSocket);
        if (staleLock) {
            QProcess gone;
            gone.start("sleep", {"60"});
            QVERIFY(gone.waitForStarted());
            const qint64 pid = gone.processId();
            gone.kill();
            QVERIFY(gone.waitForFinished());
            QFile lock(runtime->filePath("tessaline.lock"));
            QVERIFY(lock.open(QIODevice::WriteOnly));
            lock.write(QByteArray::number(pid) + "\ntessaline\n\n");
        }
        if (staleSocket) {
            QFile socket(runtime->filePath("tessaline.socket"));
            QVERIFY(socket.open(QIODevice::WriteOnly));
        }
        SingleInstance first(QStringLiteral("tessaline"));
        QCOMPARE(first.claim(), Role::Primary);
        QSignalSpy opened(&first, &SingleInstance::openRequested);
        auto second = claimElsewhere(QStringLiteral("tessaline"));
        QCOMPARE(waitFor(second), Role::HandedOver);
        QCOMPARE(opened.count(), 1);
    }

    void silentHolderIsReported()
    {
        QLockFile holder(runtime->filePath("tessaline.lock"));
        QVERIFY(holder.tryLock(0));
        SingleInstance late(QStringLiteral("tessaline"));
        QCOMPARE(late.claim(), Role::Unanswered);
    }

    void strangerGetsNoWindow()
    {
        SingleInstance first(QStringLiteral("tessaline"));
        QCOMPARE(first.claim(), Role::Primary);
        QSignalSpy opened(&first, &SingleInstance::openRequested);
        auto stranger = std::async(std::launch::async, [path = first.socketPath()] {
            QLocalSocket socket;
            socket.connectToServer(path);
            if (!socket.waitForConnected(5000))
                return false;
            socket.write("close\nopen\n");
            socket.waitForBytesWritten(5000);
            // The copy hangs up after a line it does not know.
            return socket.waitForDisconnected(5000) || socket.state() == QLocalSocket::UnconnectedState;
        });
        while (stranger.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QVERIFY(stranger.get());
        QCOMPARE(opened.count(), 0);
    }

private:
    std::unique_ptr<QTemporaryDir> runtime;
};

QTEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
