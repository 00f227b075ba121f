#include "platform/SettingsStore.h"

#include <QTemporaryDir>
#include <QTest>

using namespace tessaline;

class TestSettingsStore : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void bytesSurviveExactly_data();
    void bytesSurviveExactly();
    void userStoreLivesUnderTheConfigHome();
};

void TestSettingsStore::bytesSurviveExactly_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("json") << QByteArray(R"([{"a":"b\nc","d":[1,2.5]}])");
    QTest::newRow("line breaks and equals") << QByteArray("a=b\n[General]\r\nc=d");
    QTest::newRow("nul and high bytes") << QByteArray("\x00\xff\xfe@ByteArray(x)", 16);
}

void TestSettingsStore::bytesSurviveExactly()
{
    QFETCH(QByteArray, bytes);
    QTemporaryDir dir;
    // Directories that do not exist yet are made, as on a first start.
    const QString file = dir.filePath("config/Tessaline/settings.ini");
    QSettingsStore writer(file);
    QVERIFY(!writer.contains("key.v1"));
    QVERIFY(!writer.value("key.v1").isValid());
    QVERIFY(writer.setValue("key.v1", bytes));

    // Read back by a separate store, as after a restart of the program.
    const QVariant read = QSettingsStore(file).value("key.v1");
    QCOMPARE(read.typeId(), QMetaType::QByteArray);
    QCOMPARE(read.toByteArray(), bytes);
}

void TestSettingsStore::userStoreLivesUnderTheConfigHome()
{
    // The test runner points XDG_CONFIG_HOME into the build tree, never the real home.
    const QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    QVERIFY(!configHome.isEmpty());
    QCOMPARE(QSettingsStore().location(), configHome + "/Tessaline/Tessaline.conf");
}

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
