#include "platform/SingleInstance.h"

#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <future>

using namespace tessaline;
using Role = SingleInstance::Role;

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

    // What a copy that crashed leaves behind must not stop the next one.
    void laterLaunchesHandOver_data()
    {
        QTest::addColumn<bool>("staleLock");
        QTest::addColumn<bool>("staleSocket");
        QTest::newRow("clean") << false << false;
        QTest::newRow("lock of a dead process") << true << false;
        QTest::newRow("socket file left behind") << false << true;
    }
    void laterLaunchesHandOver()
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
        for (int launch = 1; launch <= 2; ++launch) {
            // Claims from another thread, as another process would, while this one answers.
            auto later = std::async(std::launch::async, [] { return SingleInstance("tessaline").claim(); });
            while (later.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            QCOMPARE(later.get(), Role::HandedOver);
            QCOMPARE(opened.count(), launch);
        }
    }

    void silentHolderIsReported()
    {
        QLockFile holder(runtime->filePath("tessaline.lock"));
        QVERIFY(holder.tryLock(0));
        QCOMPARE(SingleInstance(QStringLiteral("tessaline")).claim(), Role::Unanswered);
    }

private:
    std::unique_ptr<QTemporaryDir> runtime;
};

QTEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
