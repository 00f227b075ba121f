#include "quota/QuotaReader.h"

#include <QtTest>

#include <QFile>
#include <QTemporaryDir>

using namespace tessaline;

namespace {

const QString helper = QStringLiteral(TESSALINE_FIXTURES "/helpers/helper.sh");

struct Delivery {
    int calls = 0;
    bool beforeReturn = false;
    std::optional<Usage> usage;
    std::optional<QString> message;
};

// Runs one read and waits for its completion; also checks the calling contract that
// every caller relies on: exactly one call, exactly one of the two values.
Delivery readOnce(const QuotaReader::Options &options, int timeoutMs = 20000)
{
    auto delivery = std::make_shared<Delivery>();
    bool returned = false;
    QuotaReader::read(
        [delivery, &returned](std::optional<Usage> usage, std::optional<QString> message) {
            ++delivery->calls;
            delivery->beforeReturn = !returned;
            delivery->usage = std::move(usage);
            delivery->message = std::move(message);
        },
        options);
    returned = true;
    [&] { QTRY_VERIFY_WITH_TIMEOUT(delivery->calls > 0, timeoutMs); }();
    // Anything queued behind the delivery (a second call would be) runs now.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    [&] {
        QCOMPARE(delivery->calls, 1);
        QVERIFY(delivery->usage.has_value() != delivery->message.has_value());
    }();
    return *delivery;
}

QuotaReader::Options helperOptions(const QStringList &variables = {})
{
    QuotaReader::Options options;
    options.environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    options.environment.insert(QStringLiteral("QUORVEL_EXECUTABLE"), helper);
    for (const QString &variable : variables)
        options.environment.insert(variable.section(QLatin1Char('='), 0, 0), variable.section(QLatin1Char('='), 1));
    options.homeDirectory = QStringLiteral("/nonexistent-home");
    return options;
}

void makeFile(const QString &path, bool executable)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\nexit 0\n");
    file.close();
    QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    if (executable)
        permissions |= QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    QVERIFY(file.setPermissions(permissions));
}

const QString failurePrefix = QStringLiteral("Tessaline could not read your current Codex quota. ");
const QString unexpectedData = QStringLiteral("Tessaline could not read your current Codex quota: the helper returned unexpected data.");

} // namespace

class TestQuotaReader : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void discovery_data();
    void discovery();
    void relativeCandidatesRunFromTheCurrentDirectory();
    void notFoundIsDeliveredBeforeReturning();
    void launchFailureIsDeliveredBeforeReturning_data();
    void launchFailureIsDeliveredBeforeReturning();
    void childSeesItsContract();
    void snapshotIsDelivered();
    void failures_data();
    void failures();
    void hungHelperIsKilledAtTheBound();
    void completionMayReadAgain();
};

void TestQuotaReader::discovery_data()
{
    // Paths are under a fresh directory written as "@"; res/ is the resource
    // directory, home/ the home directory.
    QTest::addColumn<QStringList>("executables");
    QTest::addColumn<QStringList>("plainFiles");
    QTest::addColumn<QString>("override"); // null: unset
    QTest::addColumn<QString>("path");     // null: unset
    QTest::addColumn<bool>("resourceKnown");
    QTest::addColumn<QString>("expected"); // null: nothing found

    const QString unset;
    const QStringList everywhere{"custom/quorvel", "res/quorvel", "home/.local/bin/quorvel", "a/quorvel"};

    QTest::newRow("override wins") << everywhere << QStringList{} << "@/custom/quorvel" << "@/a" << true << "@/custom/quorvel";
    QTest::newRow("override not executable")
        << QStringList{"res/quorvel", "a/quorvel"} << QStringList{"custom/quorvel"} << "@/custom/quorvel" << "@/a" << true << unset;
    QTest::newRow("override missing") << everywhere << QStringList{} << "@/custom/none" << "@/a" << true << unset;
    QTest::newRow("override empty") << everywhere << QStringList{} << "" << "@/a" << true << unset;
    QTest::newRow("override a directory") << everywhere << QStringList{} << "@/custom" << "@/a" << true << unset;
    QTest::newRow("resource directory next") << everywhere << QStringList{} << unset << "@/a" << true << "@/res/quorvel";
    QTest::newRow("resource directory unknown") << everywhere << QStringList{} << unset << "@/a" << false << "@/home/.local/bin/quorvel";
    QTest::newRow("resource helper not executable")
        << QStringList{"a/quorvel"} << QStringList{"res/quorvel"} << unset << "@/a" << true << "@/a/quorvel";
    QTest::newRow("home before PATH")
        << QStringList{"home/.local/bin/quorvel", "a/quorvel"} << QStringList{} << unset << "@/a" << true << "@/home/.local/bin/quorvel";
    QTest::newRow("PATH in order")
        << QStringList{"a/quorvel", "b/quorvel"} << QStringList{} << unset << "@/a::@/b/" << true << "@/a/quorvel";
    QTest::newRow("PATH empty piece and trailing slash")
        << QStringList{"b/quorvel"} << QStringList{"a/quorvel"} << unset << "@/a::@/b/" << true << "@/b//quorvel";
    QTest::newRow("PATH only separators") << QStringList{"a/quorvel"} << QStringList{} << unset << "::" << true << unset;
    QTest::newRow("PATH unset") << QStringList{"a/quorvel"} << QStringList{} << unset << unset << true << unset;
    QTest::newRow("PATH unset, home") << QStringList{"home/.local/bin/quorvel"} << QStringList{} << unset << unset << true << "@/home/.local/bin/quorvel";
    QTest::newRow("PATH directory named quorvel") << QStringList{"b/quorvel"} << QStringList{} << unset << "@/c:@/b" << true << "@/b/quorvel";
    QTest::newRow("nothing anywhere") << QStringList{} << QStringList{"a/quorvel"} << unset << "@/a" << true << unset;
}

void TestQuotaReader::discovery()
{
    QFETCH(QStringList, executables);
    QFETCH(QStringList, plainFiles);
    QFETCH(QString, override);
    QFETCH(QString, path);
    QFETCH(bool, resourceKnown);
    QFETCH(QString, expected);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const auto at = [&](QString text) { return text.replace(QLatin1Char('@'), root.path()); };
    for (const QString &file : executables)
        makeFile(root.filePath(file), true);
    for (const QString &file : plainFiles)
        makeFile(root.filePath(file), false);
    QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("custom"))));
    QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("c/quorvel"))));

    QuotaReader::Options options;
    if (!override.isNull())
        options.environment.insert(QStringLiteral("QUORVEL_EXECUTABLE"), at(override));
    if (!path.isNull())
        options.environment.insert(QStringLiteral("PATH"), at(path));
    if (resourceKnown)
        options.resourceDirectory = root.filePath(QStringLiteral("res"));
    options.homeDirectory = root.filePath(QStringLiteral("home"));

    const std::optional<QString> found = QuotaReader::executable(options);
    QCOMPARE(found.value_or(QString()), expected.isNull() ? QString() : at(expected));
}

void TestQuotaReader::relativeCandidatesRunFromTheCurrentDirectory()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("rel"))));
    QVERIFY(QFile::link(helper, root.filePath(QStringLiteral("rel/quorvel"))));
    QVERIFY(QFile::link(helper, root.filePath(QStringLiteral("quorvel"))));
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(root.path()));
    const auto restore = qScopeGuard([&] { QDir::setCurrent(previous); });

    QuotaReader::Options options = helperOptions();
    options.environment.remove(QStringLiteral("QUORVEL_EXECUTABLE"));
    options.environment.insert(QStringLiteral("PATH"), QStringLiteral("rel:/usr/bin:/bin"));
    QCOMPARE(QuotaReader::executable(options), std::optional<QString>(QStringLiteral("rel/quorvel")));
    const Delivery viaPath = readOnce(options);
    QVERIFY2(viaPath.usage, qPrintable(viaPath.message.value_or(QString())));

    // A bare name is a file in the current directory, never a second PATH search.
    options.environment.insert(QStringLiteral("QUORVEL_EXECUTABLE"), QStringLiteral("quorvel"));
    makeFile(root.filePath(QStringLiteral("other/quorvel")), true); // exits 0 silently: unexpected data
    options.environment.insert(QStringLiteral("PATH"), root.filePath(QStringLiteral("other")) + QStringLiteral(":/usr/bin:/bin"));
    QCOMPARE(QuotaReader::executable(options), std::optional<QString>(QStringLiteral("quorvel")));
    const Delivery viaOverride = readOnce(options);
    QVERIFY2(viaOverride.usage, qPrintable(viaOverride.message.value_or(QString())));
}

void TestQuotaReader::notFoundIsDeliveredBeforeReturning()
{
    QTemporaryDir root;
    makeFile(root.filePath(QStringLiteral("res/quorvel")), true);
    QuotaReader::Options options = helperOptions();
    options.environment.insert(QStringLiteral("QUORVEL_EXECUTABLE"), root.filePath(QStringLiteral("missing")));
    options.resourceDirectory = root.filePath(QStringLiteral("res"));
    const Delivery d = readOnce(options);
    QVERIFY(d.beforeReturn);
    QCOMPARE(d.message, QStringLiteral("Tessaline could not find its bundled quota helper."));
}

void TestQuotaReader::launchFailureIsDeliveredBeforeReturning_data()
{
    QTest::addColumn<QString>("program");
    QTest::newRow("missing interpreter") << QStringLiteral(TESSALINE_FIXTURES "/helpers/bad-interpreter.sh");
    QTest::newRow("not a program") << QStringLiteral(TESSALINE_FIXTURES "/helpers/not-a-program");
}

void TestQuotaReader::launchFailureIsDeliveredBeforeReturning()
{
    QFETCH(QString, program);
    const Delivery d = readOnce(helperOptions({QStringLiteral("QUORVEL_EXECUTABLE=") + program}));
    QVERIFY(d.beforeReturn);
    QVERIFY2(d.message && d.message->startsWith(QStringLiteral("Tessaline could not run its quota helper: ")),
             qPrintable(d.message.value_or(QString())));
    QVERIFY(d.message->size() > QStringLiteral("Tessaline could not run its quota helper: ").size());
}

void TestQuotaReader::childSeesItsContract()
{
    // An inherited marker is replaced, not kept.
    const Delivery d = readOnce(helperOptions({QStringLiteral("FIXTURE_MODE=report"), QStringLiteral("QUORVEL_COMPANION=0")}));
    QVERIFY(!d.beforeReturn);
    QCOMPARE(d.message, failurePrefix + QStringLiteral("argc=1 args=--json companion=1 stdin=/dev/null"));
}

void TestQuotaReader::snapshotIsDelivered()
{
    QFile file(QStringLiteral(TESSALINE_FIXTURES "/helpers/snapshot.json"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const Expected<Usage> expected = Usage::decode(file.readAll());
    QVERIFY(expected);

    const Delivery d = readOnce(helperOptions());
    QVERIFY(!d.beforeReturn);
    QVERIFY2(d.usage, qPrintable(d.message.value_or(QString())));
    QVERIFY(*d.usage == *expected);

    // Both pipes drain at once: megabytes of standard error first cannot stall it.
    const Delivery flooded = readOnce(helperOptions({QStringLiteral("FIXTURE_MODE=flood-stderr")}));
    QVERIFY2(flooded.usage, qPrintable(flooded.message.value_or(QString())));
    QVERIFY(*flooded.usage == *expected);
}

void TestQuotaReader::failures_data()
{
    QTest::addColumn<QStringList>("variables");
    QTest::addColumn<QString>("expected");

    const QString fiveHundred = QString(250, QLatin1Char('a')) + QString(250, QLatin1Char('b'));
    QTest::newRow("log line before the document") << QStringList{"FIXTURE_MODE=log-line"} << unexpectedData;
    QTest::newRow("exit 0, nothing written") << QStringList{"FIXTURE_MODE=output"} << unexpectedData;
    QTest::newRow("exit 0, invalid snapshot")
        << QStringList{R"(FIXTURE_MODE=output)", R"(FIXTURE_STDOUT={"schemaVersion":2,"fetchedAt":1,"windows":[]})"}
        << unexpectedData;
    QTest::newRow("endless standard output") << QStringList{"FIXTURE_MODE=flood-stdout"} << unexpectedData;
    QTest::newRow("status 2, white space only")
        << QStringList{"FIXTURE_MODE=fail", "FIXTURE_STATUS=2", "FIXTURE_STDERR= \\n\\t\\r\\n "}
        << "Tessaline could not read your current Codex quota (2).";
    QTest::newRow("status 255, silent")
        << QStringList{"FIXTURE_MODE=fail", "FIXTURE_STATUS=255"} << "Tessaline could not read your current Codex quota (255).";
    QTest::newRow("status 1, 500 characters between blank lines")
        << QStringList{"FIXTURE_MODE=fail", "FIXTURE_STDERR=\\n\\n  " + fiveHundred + "\\n\\n"}
        << failurePrefix + fiveHundred.left(240);
    QTest::newRow("status 1, exactly 240")
        << QStringList{"FIXTURE_MODE=fail", "FIXTURE_STDERR=" + fiveHundred.left(240)} << failurePrefix + fiveHundred.left(240);
    QTest::newRow("inner line breaks kept")
        << QStringList{"FIXTURE_MODE=fail", "FIXTURE_STDERR=\\nnot signed in\\n\\nrun codex login\\n"}
        << failurePrefix + "not signed in\n\nrun codex login";
    QTest::newRow("Unicode white space trimmed")
        << QStringList{"FIXTURE_MODE=fail", "FIXTURE_STDERR=\\342\\200\\203\\302\\240oops\\302\\240\\342\\200\\250"}
        << failurePrefix + "oops";
    QTest::newRow("ill-formed UTF-8")
        << QStringList{"FIXTURE_MODE=fail", "FIXTURE_STDERR=bad \\377 byte \\300"}
        << failurePrefix + QString::fromUtf8("bad \xef\xbf\xbd byte \xef\xbf\xbd");
    QTest::newRow("characters, not code units")
        << QStringList{"FIXTURE_MODE=fail", "FIXTURE_STDERR=" + QString(239, QLatin1Char('x')) + "e\\314\\201\\360\\237\\221\\215zz"}
        << failurePrefix + QString(239, QLatin1Char('x')) + QString::fromUtf8("e\xcc\x81");
    QTest::newRow("emoji sequences whole")
        << QStringList{"FIXTURE_MODE=fail", "FIXTURE_STDERR=" + QString(238, QLatin1Char('x')) + "\\360\\237\\221\\215\\360\\237\\217\\275\\360\\237\\207\\253\\360\\237\\207\\267!"}
        << failurePrefix + QString(238, QLatin1Char('x')) + QString::fromUtf8("\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd\xf0\x9f\x87\xab\xf0\x9f\x87\xb7");
    QTest::newRow("killed by a signal, silent")
        << QStringList{"FIXTURE_MODE=signal", "FIXTURE_SIGNAL=KILL"} << "Tessaline could not read your current Codex quota (9).";
    QTest::newRow("terminated by a signal, with a reason")
        << QStringList{"FIXTURE_MODE=signal", "FIXTURE_SIGNAL=TERM", "FIXTURE_STDERR=shutting down\\n"}
        << failurePrefix + "shutting down";
}

void TestQuotaReader::failures()
{
    QFETCH(QStringList, variables);
    QFETCH(QString, expected);
    const Delivery d = readOnce(helperOptions(variables));
    QVERIFY(!d.beforeReturn);
    QCOMPARE(d.message.value_or(QStringLiteral("(a snapshot)")), expected);
}

void TestQuotaReader::hungHelperIsKilledAtTheBound()
{
    QuotaReader::Options options = helperOptions({QStringLiteral("FIXTURE_MODE=hang")});
    options.timeLimit = std::chrono::milliseconds(300);
    const Delivery d = readOnce(options);
    QCOMPARE(d.message, QStringLiteral("Tessaline could not read your current Codex quota: the helper did not finish within 30 seconds."));
}

void TestQuotaReader::completionMayReadAgain()
{
    const QuotaReader::Options options = helperOptions();
    int delivered = 0;
    QuotaReader::read(
        [&](std::optional<Usage> first, std::optional<QString>) {
            ++delivered;
            QVERIFY(first);
            QuotaReader::read([&](std::optional<Usage> second, std::optional<QString>) {
                ++delivered;
                QVERIFY(second);
            }, options);
        },
        options);
    QTRY_COMPARE_WITH_TIMEOUT(delivered, 2, 20000);
}

QTEST_GUILESS_MAIN(TestQuotaReader)
#include "tst_quotareader.moc"
