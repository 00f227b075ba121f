#include "quota/QuotaReader.h"

#include "FixtureRows.h"

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
    }

    void init() { QVERIFY(QDir::setCurrent(current->path())); }

    // "@" is a fresh directory and the current one; res/ is the resource directory, home/
    // the home directory; a file named with "-" lacks the execute bit. No "expected": nothing
    // is found. An empty PATH piece is skipped, not read as the current directory.
    void discovery_data() { addFixtureRows(QStringLiteral("quota/discovery.json")); }
    void discovery()
    {
        QFETCH(QJsonObject, row);
        QTemporaryDir root;
        QVERIFY(QDir::setCurrent(root.path()));
        const auto at = [&](QString text) { return text.replace(QLatin1Char('@'), root.path()); };
        for (const QString &file : row.value("files").toVariant().toStringList())
            makeFile(root.filePath(file.startsWith(QLatin1Char('-')) ? file.mid(1) : file), !file.startsWith(QLatin1Char('-')));
        QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("custom"))) && QDir().mkpath(root.filePath(QStringLiteral("c/quorvel"))));

        QuotaReader::Options options;
        if (row.contains("override"))
            options.environment.insert(QStringLiteral("QUORVEL_EXECUTABLE"), at(row.value("override").toString()));
        if (row.contains("path"))
            options.environment.insert(QStringLiteral("PATH"), at(row.value("path").toString()));
        options.resourceDirectory = root.filePath(QStringLiteral("res"));
        options.homeDirectory = root.filePath(QStringLiteral("home"));
        QCOMPARE(QuotaReader::executable(options).value_or(QString()), at(row.value("expected").toString()));
    }

    // Each row: the helper's environment ("@" is the current directory) and what the read
    // delivers: the fixture's snapshot, or the message (ending in ": ", the system's launch
    // error follows). The fixture's standard error is printf text, so any bytes can be asked for.
    void read_data() { addFixtureRows(QStringLiteral("quota/reads.json")); }
    void read()
    {
        QFETCH(QJsonObject, row);
        QStringList variables;
        for (const QJsonValue &variable : row.value("environment").toArray())
            variables << variable.toString().replace("@", current->path()).replace("$FIXTURES", TESSALINE_FIXTURES);
        QuotaReader::Options options = helperOptions(variables);
        options.resourceDirectory = current->path();
        if (row.contains("timeLimitMs")) // the bound, shortened; the message names the real one
            options.timeLimit = std::chrono::milliseconds(row.value("timeLimitMs").toInt());
        const Delivery d = readOnce(options);
        QCOMPARE(d.beforeReturn, row.value("beforeReturn").toBool());
        if (row.contains("message")) {
            const QString expected = row.value("message").toString();
            QCOMPARE(d.message.value_or(QStringLiteral("(a snapshot)")).left(expected.endsWith(u": ") ? expected.size() : -1), expected);
            return;
        }
        QFile file(QStringLiteral(TESSALINE_FIXTURES "/helpers/snapshot.json"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY2(d.usage && *d.usage == Usage::decode(file.readAll()).value(), qPrintable(d.message.value_or(QString())));
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
#include "test_quotareader.moc"
