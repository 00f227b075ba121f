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
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("#!/bin/sh\nexit 0\n") > 0);
    file.close();
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | (executable ? QFile::ExeOwner : QFile::Permissions())));
}

const QString failurePrefix = QStringLiteral("Tessaline could not read your current Codex quota. ");
const QString unexpectedData = QStringLiteral("Tessaline could not read your current Codex quota: the helper returned unexpected data.");

} // namespace

class TestQuotaReader : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void discovery_data()
    {
        // "@" is a fresh directory and the current one; res/ is the resource directory, home/
        // the home directory. An empty PATH piece is skipped, not read as the current directory.
        QTest::addColumn<QStringList>("files"); // "-": without the execute bit
        QTest::addColumn<QString>("override"); // null: unset
        QTest::addColumn<QString>("path");     // null: unset
        QTest::addColumn<bool>("resourceKnown");
        QTest::addColumn<QString>("expected"); // null: nothing found

        const QString unset;
        const QStringList all{"custom/quorvel", "res/quorvel", "home/.local/bin/quorvel", "a/quorvel"};
        QTest::newRow("override wins") << all << "@/custom/quorvel" << "@/a" << true << "@/custom/quorvel";
        QTest::newRow("override not executable") << all.mid(1) + QStringList{"-custom/quorvel"} << "@/custom/quorvel" << "@/a" << true << unset;
        QTest::newRow("override empty") << all << "" << "@/a" << true << unset;
        QTest::newRow("override a directory") << all << "@/custom" << "@/a" << true << unset;
        QTest::newRow("resource directory next") << all << unset << "@/a" << true << "@/res/quorvel";
        QTest::newRow("resource directory unknown") << all << unset << "@/a" << false << "@/home/.local/bin/quorvel";
        QTest::newRow("resource helper not executable") << all.mid(2) + QStringList{"-res/quorvel"} << unset << "@/a" << true << "@/home/.local/bin/quorvel";
        QTest::newRow("PATH in order") << QStringList{"a/quorvel", "b/quorvel"} << unset << "@/a::@/b/" << true << "@/a/quorvel";
        QTest::newRow("PATH empty piece and trailing slash") << QStringList{"b/quorvel", "-a/quorvel", "quorvel"} << unset << "@/a::@/b/" << true << "@/b//quorvel";
        QTest::newRow("PATH only separators") << QStringList{"a/quorvel", "quorvel"} << unset << "::" << true << unset;
        QTest::newRow("PATH unset") << QStringList{"a/quorvel"} << unset << unset << true << unset;
        QTest::newRow("PATH relative entry") << QStringList{"rel/quorvel"} << unset << "rel" << true << "rel/quorvel";
        QTest::newRow("PATH directory named quorvel") << QStringList{"b/quorvel"} << unset << "@/c:@/b" << true << "@/b/quorvel";
    }

    void discovery()
    {
        QFETCH(QStringList, files);
        QFETCH(QString, override);
        QFETCH(QString, path);
        QFETCH(bool, resourceKnown);
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
        if (resourceKnown)
            options.resourceDirectory = root.filePath(QStringLiteral("res"));
        options.homeDirectory = root.filePath(QStringLiteral("home"));
        QCOMPARE(QuotaReader::executable(options).value_or(QString()), expected.isNull() ? QString() : at(expected));
    }

    void bareOverrideRunsFromTheCurrentDirectory()
    {
        QTemporaryDir root;
        QVERIFY(QFile::link(helper, root.filePath(QStringLiteral("quorvel"))));
        makeFile(root.filePath(QStringLiteral("other/quorvel")), true); // exits 0 silently: unexpected data
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(root.path()));
        const auto restore = qScopeGuard([&] { QDir::setCurrent(previous); });

        // A bare name is the file here, never a PATH search.
        const Delivery bare = readOnce(helperOptions({"QUORVEL_EXECUTABLE=quorvel", "PATH=" + root.filePath(QStringLiteral("other")) + ":/usr/bin:/bin"}));
        QVERIFY2(bare.usage, qPrintable(bare.message.value_or(QString())));
    }

    void failsBeforeReturning_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("expected"); // a pattern: the launch error's text varies
        QTest::newRow("override missing, helper in resource dir") << "missing" << "^Tessaline could not find its bundled quota helper\\.$";
        QTest::newRow("missing interpreter") << TESSALINE_FIXTURES "/helpers/bad-interpreter.sh" << "^Tessaline could not run its quota helper: .+";
        QTest::newRow("not a program") << TESSALINE_FIXTURES "/helpers/not-a-program" << "^Tessaline could not run its quota helper: .+";
    }

    void failsBeforeReturning()
    {
        QFETCH(QString, program);
        QFETCH(QString, expected);
        QuotaReader::Options options = helperOptions({QStringLiteral("QUORVEL_EXECUTABLE=") + program});
        QTemporaryDir res;
        QVERIFY(QFile::link(helper, res.filePath(QStringLiteral("quorvel"))));
        options.resourceDirectory = res.path();
        const Delivery d = readOnce(options);
        QVERIFY(d.beforeReturn);
        QVERIFY2(QRegularExpression(expected).match(*d.message).hasMatch(), qPrintable(*d.message));
    }

    void completes_data()
    {
        QTest::addColumn<QStringList>("variables");
        QTest::addColumn<QString>("expected"); // null: the fixture's snapshot

        // Standard error is printf text, so any bytes can be asked for.
        const auto fail = [](const QString &error, const QString &status = QStringLiteral("1")) {
            return QStringList{"FIXTURE_MODE=fail", "FIXTURE_STATUS=" + status, "FIXTURE_STDERR=" + error};
        };
        const QString fiveHundred = QString(250, QLatin1Char('a')) + QString(250, QLatin1Char('b'));
        const QString x238(238, QLatin1Char('x'));

        QTest::newRow("snapshot") << QStringList{} << QString();
        // Both pipes drain at once: megabytes of standard error first cannot stall it.
        QTest::newRow("standard error flood first") << QStringList{"FIXTURE_MODE=flood-stderr"} << QString();
        // An inherited marker is replaced, not kept.
        QTest::newRow("what the child sees") << QStringList{"FIXTURE_MODE=report", "QUORVEL_COMPANION=0"}
                                             << failurePrefix + "argc=1 args=--json companion=1 stdin=/dev/null";
        QTest::newRow("log line before the document") << QStringList{"FIXTURE_MODE=log-line"} << unexpectedData;
        QTest::newRow("exit 0, nothing written") << QStringList{"FIXTURE_MODE=output"} << unexpectedData;
        QTest::newRow("exit 0, invalid snapshot")
            << QStringList{"FIXTURE_MODE=output", R"(FIXTURE_STDOUT={"schemaVersion":2,"fetchedAt":1,"windows":[]})"} << unexpectedData;
        QTest::newRow("output past 16 MiB") << QStringList{"FIXTURE_MODE=flood-stdout"} << unexpectedData;
        QTest::newRow("status 2, white space only") << fail(" \\n\\t\\r\\n ", "2") << "Tessaline could not read your current Codex quota (2).";
        QTest::newRow("status 255, silent") << fail("", "255") << "Tessaline could not read your current Codex quota (255).";
        QTest::newRow("500 characters between blank lines") << fail("\\n\\n  " + fiveHundred + "\\n\\n") << failurePrefix + fiveHundred.left(240);
        QTest::newRow("inner line breaks kept") << fail("\\nnot signed in\\n\\nrun codex login\\n") << failurePrefix + "not signed in\n\nrun codex login";
        QTest::newRow("Unicode white space trimmed") << fail("\\342\\200\\203\\302\\240oops\\302\\240\\342\\200\\250") << failurePrefix + "oops";
        QTest::newRow("ill-formed UTF-8") << fail("bad \\377 byte \\300") << failurePrefix + QString::fromUtf8("bad \xef\xbf\xbd byte \xef\xbf\xbd");
        QTest::newRow("user-perceived characters, kept whole")
            << fail(x238 + "e\\314\\201\\360\\237\\207\\253\\360\\237\\207\\267zz")
            << failurePrefix + x238 + QString::fromUtf8("e\xcc\x81\xf0\x9f\x87\xab\xf0\x9f\x87\xb7");
        QTest::newRow("killed by a signal, silent") << QStringList{"FIXTURE_MODE=signal", "FIXTURE_SIGNAL=KILL"}
                                                    << "Tessaline could not read your current Codex quota (9).";
        QTest::newRow("terminated by a signal, with a reason")
            << QStringList{"FIXTURE_MODE=signal", "FIXTURE_SIGNAL=TERM", "FIXTURE_STDERR=shutting down\\n"} << failurePrefix + "shutting down";
    }

    void completes()
    {
        QFETCH(QStringList, variables);
        QFETCH(QString, expected);
        const Delivery d = readOnce(helperOptions(variables));
        QVERIFY(!d.beforeReturn);
        if (!expected.isNull()) {
            QCOMPARE(d.message.value_or(QStringLiteral("(a snapshot)")), expected);
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
        int delivered = 0;
        QuotaReader::read([&](std::optional<Usage> first, std::optional<QString>) {
            delivered += first ? 1 : 100;
            QuotaReader::read([&](std::optional<Usage> second, std::optional<QString>) { delivered += second ? 1 : 100; }, options);
        }, options);
        QTRY_COMPARE_WITH_TIMEOUT(delivered, 2, 20000);
    }
};

QTEST_GUILESS_MAIN(TestQuotaReader)
#include "tst_quotareader.moc"
