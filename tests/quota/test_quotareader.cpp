#include "quota/QuotaReader.h"

#include <QtTest>

#include <QFile>
#include <QTemporaryDir>

using namespace tessaline;

namespace {

const QString helper = QStringLiteral(TESSALINE_FIXTURES "/helpers/helper.sh");

struct Delivery { int calls = 0; bool beforeReturn = false; std::optional<Usage> usage; std::optional<QString> message; };

// Runs one read and waits for it; every caller relies on exactly one call with exactly
// one of the two values, so that is checked on every read.
Delivery readOnce(const QuotaReader::Options &options)
{
    auto delivery = std::make_shared<Delivery>();
    bool returned = false;
    QuotaReader::read([delivery, &returned](std::optional<Usage> usage, std::optional<QString> message) {
        *delivery = {delivery->calls + 1, !returned, std::move(usage), std::move(message)};
    }, options);
    returned = true;
    [&] { QTRY_VERIFY_WITH_TIMEOUT(delivery->calls > 0, 20000); }();
    // A second call would be queued behind the first; let it run.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    [&] { QVERIFY(delivery->calls == 1 && delivery->usage.has_value() != delivery->message.has_value()); }();
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
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("#!/bin/sh\nexit 0\n") > 0 && file.flush());
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | (executable ? QFile::ExeOwner : QFile::Permissions())));
}

const QString failurePrefix = QStringLiteral("Tessaline could not read your current Codex quota. ");
const QString unexpectedData = QStringLiteral("Tessaline could not read your current Codex quota: the helper returned unexpected data.");

} // namespace

class TestQuotaReader : public QObject {
    Q_OBJECT

    // The current directory while reading, and the resource directory: the helper as
    // quorvel, and other/quorvel, which exits 0 silently.
    std::unique_ptr<QTemporaryDir> current;

private Q_SLOTS:
    void initTestCase()
    {
        current = std::make_unique<QTemporaryDir>();
        QVERIFY(QFile::link(helper, current->filePath(QStringLiteral("quorvel"))));
        makeFile(current->filePath(QStringLiteral("other/quorvel")), true);
        QVERIFY(QDir::setCurrent(current->path()));
    }

    void discovery_data()
    {
        // "@" is a fresh directory and the current one; res/ is the resource directory, home/
        // the home directory. An empty PATH piece is skipped, not read as the current directory.
        QTest::addColumn<QStringList>("files"); // "-": without the execute bit
        QTest::addColumn<QString>("override"); // null: unset
        QTest::addColumn<QString>("path");     // null: unset
        QTest::addColumn<QString>("expected"); // null: nothing found

        const QString unset;
        const QStringList all{"custom/quorvel", "res/quorvel", "home/.local/bin/quorvel", "a/quorvel"};
        QTest::newRow("override wins") << all << "@/custom/quorvel" << "@/a" << "@/custom/quorvel";
        QTest::newRow("override not executable") << all.mid(1) + QStringList{"-custom/quorvel"} << "@/custom/quorvel" << "@/a" << unset;
        QTest::newRow("resource directory next") << all << unset << "@/a" << "@/res/quorvel";
        QTest::newRow("resource helper not executable") << all.mid(2) + QStringList{"-res/quorvel"} << unset << "@/a" << "@/home/.local/bin/quorvel";
        QTest::newRow("PATH in order") << QStringList{"a/quorvel", "b/quorvel"} << unset << "@/a::@/b/" << "@/a/quorvel";
        QTest::newRow("PATH empty piece and trailing slash") << QStringList{"b/quorvel", "-a/quorvel", "quorvel"} << unset << "@/a::@/b/" << "@/b//quorvel";
        QTest::newRow("PATH directory named quorvel") << QStringList{"b/quorvel"} << unset << "@/c:@/b" << "@/b/quorvel";
    }

    void discovery()
    {
        QFETCH(QStringList, files);
        QFETCH(QString, override);
        QFETCH(QString, path);
        QFETCH(QString, expected);
        QTemporaryDir root;
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(root.path()));
        const auto restore = qScopeGuard([&] { QDir::setCurrent(previous); });
        const auto at = [&](QString text) { return text.replace(QLatin1Char('@'), root.path()); };
        for (const QString &file : files)
            makeFile(root.filePath(file.startsWith(QLatin1Char('-')) ? file.mid(1) : file), !file.startsWith(QLatin1Char('-')));
        QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("custom"))) && QDir().mkpath(root.filePath(QStringLiteral("c/quorvel"))));

        QuotaReader::Options options;
        if (!override.isNull())
            options.environment.insert(QStringLiteral("QUORVEL_EXECUTABLE"), at(override));
        if (!path.isNull())
            options.environment.insert(QStringLiteral("PATH"), at(path));
        options.resourceDirectory = root.filePath(QStringLiteral("res"));
        options.homeDirectory = root.filePath(QStringLiteral("home"));
        QCOMPARE(QuotaReader::executable(options).value_or(QString()), at(expected));
    }

    void read_data()
    {
        QTest::addColumn<QStringList>("variables");
        QTest::addColumn<bool>("beforeReturn");
        // Null: the fixture's snapshot. Ending in ": ", the system's launch error follows.
        QTest::addColumn<QString>("expected");

        // Standard error is printf text, so any bytes can be asked for.
        const auto fail = [](const QString &error, const QString &status = QStringLiteral("1")) {
            return QStringList{"FIXTURE_MODE=fail", "FIXTURE_STATUS=" + status, "FIXTURE_STDERR=" + error};
        };
        const QString fiveHundred = QString(250, QLatin1Char('a')) + QString(250, QLatin1Char('b')), x238(238, QLatin1Char('x'));

        QTest::newRow("snapshot") << QStringList{} << false << QString();
        // A bare name is the file in the current directory, never a PATH search.
        QTest::newRow("bare override") << QStringList{"QUORVEL_EXECUTABLE=quorvel", "PATH=" + current->filePath("other") + ":/usr/bin:/bin"} << false << QString();
        QTest::newRow("override missing, helper in resource dir") << QStringList{"QUORVEL_EXECUTABLE=missing"} << true << "Tessaline could not find its bundled quota helper.";
        QTest::newRow("not a program") << QStringList{"QUORVEL_EXECUTABLE=" TESSALINE_FIXTURES "/helpers/not-a-program"} << true << "Tessaline could not run its quota helper: ";
        // Both pipes drain at once: megabytes of standard error first cannot stall it.
        QTest::newRow("standard error flood first") << QStringList{"FIXTURE_MODE=flood-stderr"} << false << QString();
        // An inherited marker is replaced, not kept.
        QTest::newRow("what the child sees") << QStringList{"FIXTURE_MODE=report", "QUORVEL_COMPANION=0"} << false << failurePrefix + "argc=1 args=--json companion=1 stdin=/dev/null";
        QTest::newRow("log line before the document") << QStringList{"FIXTURE_MODE=log-line"} << false << unexpectedData;
        QTest::newRow("exit 0, nothing written") << QStringList{"FIXTURE_MODE=output"} << false << unexpectedData;
        QTest::newRow("output past 16 MiB") << QStringList{"FIXTURE_MODE=flood-stdout"} << false << unexpectedData;
        QTest::newRow("status 2, white space only") << fail(" \\n\\t\\r\\n ", "2") << false << "Tessaline could not read your current Codex quota (2).";
        QTest::newRow("500 characters between blank lines") << fail("\\n\\n  " + fiveHundred + "\\n\\n") << false << failurePrefix + fiveHundred.left(240);
        QTest::newRow("inner line breaks kept") << fail("\\nnot signed in\\n\\nrun codex login\\n") << false << failurePrefix + "not signed in\n\nrun codex login";
        QTest::newRow("ill-formed UTF-8") << fail("bad \\377 byte \\300") << false << failurePrefix + QString::fromUtf8("bad \xef\xbf\xbd byte \xef\xbf\xbd");
        QTest::newRow("user-perceived characters, kept whole") << fail(x238 + "e\\314\\201\\360\\237\\207\\253\\360\\237\\207\\267zz") << false
            << failurePrefix + x238 + QString::fromUtf8("e\xcc\x81\xf0\x9f\x87\xab\xf0\x9f\x87\xb7");
        QTest::newRow("killed by a signal, silent") << QStringList{"FIXTURE_MODE=signal", "FIXTURE_SIGNAL=KILL"} << false << "Tessaline could not read your current Codex quota (9).";
    }

    void read()
    {
        QFETCH(QStringList, variables);
        QFETCH(QString, expected);
        QuotaReader::Options options = helperOptions(variables);
        options.resourceDirectory = current->path();
        const Delivery d = readOnce(options);
        QTEST(d.beforeReturn, "beforeReturn");
        if (!expected.isNull()) {
            QCOMPARE(d.message.value_or(QStringLiteral("(a snapshot)")).left(expected.endsWith(u": ") ? expected.size() : -1), expected);
            return;
        }
        QFile file(QStringLiteral(TESSALINE_FIXTURES "/helpers/snapshot.json"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY2(d.usage && *d.usage == Usage::decode(file.readAll()).value(), qPrintable(d.message.value_or(QString())));
    }

    void hungHelperIsKilledAtTheBound()
    {
        QuotaReader::Options options = helperOptions({QStringLiteral("FIXTURE_MODE=hang")});
        options.timeLimit = std::chrono::milliseconds(300);
        const Delivery d = readOnce(options);
        QCOMPARE(d.message, QStringLiteral("Tessaline could not read your current Codex quota: the helper did not finish within 30 seconds."));
    }

    void completionMayReadAgain()
    {
        const QuotaReader::Options options = helperOptions();
        int delivered = 0; // a snapshot counts 1, a message 100
        QuotaReader::read([&](std::optional<Usage> first, std::optional<QString>) {
            delivered += first ? 1 : 100;
            QuotaReader::read([&](std::optional<Usage> second, std::optional<QString>) { delivered += second ? 1 : 100; }, options);
        }, options);
        QTRY_COMPARE_WITH_TIMEOUT(delivered, 2, 20000);
    }
};

QTEST_GUILESS_MAIN(TestQuotaReader)
#include "tst_quotareader.moc"
