#include "check/TaskLintResult.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace tessaline;

Q_DECLARE_METATYPE(TaskLintResult)

namespace {

QJsonObject lint(const QString &title, const QString &fix, const QString &message = QStringLiteral("m"))
{
    return {{"code", "c"}, {"title", title}, {"message", message}, {"fix", fix}};
}

// The smallest answer that decodes, plus whatever the case adds or overrides.
QByteArray answer(const QJsonObject &extra = {}, const QStringList &remove = {})
{
    QJsonObject root{{"decision", "start_now"},
                     {"quota", QJsonObject{{"band", "healthy"}, {"reason", "Plenty left."}}}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        root.insert(it.key(), it.value());
    for (const QString &key : remove)
        root.remove(key);
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

TaskLintResult minimal()
{
    TaskLintResult r;
    r.decision = QStringLiteral("start_now");
    r.quota = {QStringLiteral("healthy"), QStringLiteral("Plenty left.")};
    return r;
}

// n user-perceived characters, each an "e" with a combining acute accent (two units).
QString accented(qsizetype n)
{
    return QStringLiteral("e\u0301").repeated(n);
}

} // namespace

class TestTaskLintResult : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void decodes_data();
    void decodes();
    void rejects_data();
    void rejects();
    void verdict_data();
    void verdict();
    void sizeLabel_data();
    void sizeLabel();
    void shapeRows_data();
    void shapeRows();
};

void TestTaskLintResult::decodes_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<TaskLintResult>("expected");

    QTest::newRow("minimal") << answer() << minimal();

    {
        TaskLintResult r = minimal();
        r.quota.band.clear();
        QTest::newRow("empty band is accepted")
            << answer({{"quota", QJsonObject{{"band", ""}, {"reason", "Plenty left."}}}}) << r;
    }
    QTest::newRow("nulls and unknown keys ignored")
        << answer({{"taskSize", QJsonValue()}, {"lints", QJsonValue()}, {"taskShape", QJsonValue()},
                   {"defer", QJsonValue()}, {"taskPacket", QJsonValue()}, {"reservePolicy", QJsonValue()},
                   {"future", QJsonObject{{"x", 1}}}})
        << minimal();
    QTest::newRow("surrounding white space")
        << QByteArray(" \n" + answer() + "\r\n\t") << minimal();
    {
        TaskLintResult r = minimal();
        r.decision = QStringLiteral("wait_for_reset");
        r.taskSize = QStringLiteral("medium");
        r.reservePolicy = ReservePolicy::standard;
        r.taskPacket = QStringLiteral("Do X.\nThen Y.");
        r.taskShape = TaskLintResult::Shape{QStringLiteral("s"), std::nullopt, QString(), std::nullopt,
                                            QStringLiteral("t")};
        QTest::newRow("every field")
            << answer({{"decision", "wait_for_reset"}, {"taskSize", "medium"}, {"reservePolicy", "standard"},
                       {"taskPacket", "Do X.\nThen Y."},
                       {"taskShape", QJsonObject{{"scope", "s"}, {"direction", QJsonValue()},
                                                 {"preserve", ""}, {"stop", "t"}}}})
            << r;
    }
    {
        TaskLintResult r = minimal();
        for (int i = 1; i <= 4; ++i)
            r.lints.append({"c", QString::number(i), "m", "f"});
        QJsonArray six;
        for (int i = 1; i <= 6; ++i)
            six.append(lint(QString::number(i), "f"));
        QTest::newRow("six lints keep the first four") << answer({{"lints", six}}) << r;
    }
    {
        TaskLintResult r = minimal();
        r.lints = {{"c", "kept", "", "f"}, {"c", "b", "m", "f"}, {"c", "c", "m", "f"}, {"c", "d", "m", "f"},
                   };
        const QJsonArray lints{lint("kept", "f", ""), lint("no fix", ""), lint("", "no title"),
                               lint("b", "f"), lint("c", "f"), lint("d", "f"), lint("e", "f")};
        QTest::newRow("lints without title or fix dropped before the cap")
            << answer({{"lints", lints}}) << r;
    }
    {
        TaskLintResult r = minimal();
        r.deferred = {"b", "d", "e", "f", "g"};
        QTest::newRow("defer drops empties, then caps at five")
            << answer({{"defer", QJsonArray{"", "b", "", "d", "e", "f", "g", "h"}}}) << r;
        QTest::newRow("the key \"deferred\" is not read")
            << answer({{"deferred", QJsonArray{"a"}}}) << minimal();
    }
    {
        TaskLintResult r = minimal();
        r.taskPacket = accented(12000);
        QTest::newRow("packet of 12,000 characters kept") << answer({{"taskPacket", *r.taskPacket}}) << r;
        QTest::newRow("packet of 12,001 characters absent")
            << answer({{"taskPacket", accented(12001)}}) << minimal();
        QTest::newRow("empty packet absent") << answer({{"taskPacket", ""}}) << minimal();
        QTest::newRow("numeric packet absent, answer kept") << answer({{"taskPacket", 5}}) << minimal();
        r.taskPacket = QStringLiteral("  padded  ");
        QTest::newRow("packet not trimmed") << answer({{"taskPacket", "  padded  "}}) << r;
    }
    {
        QTest::newRow("policy in capitals absent") << answer({{"reservePolicy", "HIGH"}}) << minimal();
        QTest::newRow("numeric policy absent") << answer({{"reservePolicy", 2}}) << minimal();
        TaskLintResult r = minimal();
        r.reservePolicy = ReservePolicy::high;
        QTest::newRow("policy high") << answer({{"reservePolicy", "high"}}) << r;
        r.reservePolicy = ReservePolicy::light;
        QTest::newRow("policy light") << answer({{"reservePolicy", "light"}}) << r;
    }
}

void TestTaskLintResult::decodes()
{
    QFETCH(QByteArray, json);
    QFETCH(TaskLintResult, expected);
    const Expected<TaskLintResult> decoded = TaskLintResult::decode(json);
    QVERIFY2(decoded, qPrintable(decoded ? QString() : decoded.error().message));
    QCOMPARE(decoded->decision, expected.decision);
    QCOMPARE(decoded->lints.size(), expected.lints.size());
    QCOMPARE(decoded->deferred, expected.deferred);
    QCOMPARE(decoded->taskPacket.has_value(), expected.taskPacket.has_value());
    QVERIFY(*decoded == expected);
}

void TestTaskLintResult::rejects_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("validation"); // rejected after reading, not while reading

    QTest::newRow("not JSON") << QByteArray("decision") << false;
    QTest::newRow("empty body") << QByteArray() << false;
    QTest::newRow("array at top") << QByteArray("[" + answer() + "]") << false;
    QTest::newRow("text after the document") << QByteArray(answer() + "x") << false;
    QTest::newRow("two documents") << QByteArray(answer() + answer()) << false;
    QTest::newRow("decision missing") << answer({}, {"decision"}) << false;
    QTest::newRow("decision null") << answer({{"decision", QJsonValue()}}) << false;
    QTest::newRow("decision a number") << answer({{"decision", 1}}) << false;
    QTest::newRow("decision in capitals") << answer({{"decision", "START_NOW"}}) << true;
    QTest::newRow("decision with a blank") << answer({{"decision", "start now"}}) << true;
    QTest::newRow("decision padded") << answer({{"decision", " start_now"}}) << true;
    QTest::newRow("quota missing") << answer({}, {"quota"}) << false;
    QTest::newRow("quota an array") << answer({{"quota", QJsonArray{}}}) << false;
    QTest::newRow("reason missing") << answer({{"quota", QJsonObject{{"band", "b"}}}}) << false;
    QTest::newRow("band missing") << answer({{"quota", QJsonObject{{"reason", "r"}}}}) << false;
    QTest::newRow("reason a number") << answer({{"quota", QJsonObject{{"band", "b"}, {"reason", 1}}}}) << false;
    QTest::newRow("reason empty") << answer({{"quota", QJsonObject{{"band", "b"}, {"reason", ""}}}}) << true;
    QTest::newRow("taskSize a number") << answer({{"taskSize", 3}}) << false;
    QTest::newRow("lints an object") << answer({{"lints", QJsonObject{}}}) << false;
    QTest::newRow("lint not an object") << answer({{"lints", QJsonArray{"x"}}}) << false;
    QTest::newRow("lint null") << answer({{"lints", QJsonArray{QJsonValue()}}}) << false;
    QJsonObject noFix = lint("t", "f");
    noFix.remove("fix");
    QTest::newRow("lint without fix") << answer({{"lints", QJsonArray{noFix}}}) << false;
    QJsonArray pastCap;
    for (int i = 0; i < 5; ++i)
        pastCap.append(lint("t", "f"));
    pastCap.append(noFix);
    QTest::newRow("malformed lint past the cap") << answer({{"lints", pastCap}}) << false;
    QJsonObject nullCode = lint("t", "f");
    nullCode.insert("code", QJsonValue());
    QTest::newRow("lint code null") << answer({{"lints", QJsonArray{nullCode}}}) << false;
    QTest::newRow("taskShape a string") << answer({{"taskShape", "small"}}) << false;
    QTest::newRow("shape field a number") << answer({{"taskShape", QJsonObject{{"scope", 1}}}}) << false;
    QTest::newRow("defer a string") << answer({{"defer", "later"}}) << false;
    QTest::newRow("defer item a number") << answer({{"defer", QJsonArray{"a", 1}}}) << false;
    QTest::newRow("defer item null") << answer({{"defer", QJsonArray{QJsonValue()}}}) << false;
    QTest::newRow("invalid UTF-8 in a string")
        << QByteArray("{\"decision\":\"start_now\",\"quota\":{\"band\":\"\xff\",\"reason\":\"r\"}}") << false;
}

void TestTaskLintResult::rejects()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, validation);
    const Expected<TaskLintResult> decoded = TaskLintResult::decode(json);
    QVERIFY(!decoded);
    QCOMPARE(decoded.error().code, 1);
    QCOMPARE(decoded.error().message == QLatin1String("Invalid Tessaline result"), validation);
}

void TestTaskLintResult::verdict_data()
{
    QTest::addColumn<QString>("decision");
    QTest::addColumn<QString>("verdict");
    QTest::newRow("start_now") << "start_now" << "START NOW";
    QTest::newRow("scope_down") << "scope_down" << "SCOPE DOWN";
    QTest::newRow("plan_first") << "plan_first" << "PLAN FIRST";
    QTest::newRow("wait_for_reset") << "wait_for_reset" << "WAIT FOR RESET";
}

void TestTaskLintResult::verdict()
{
    QFETCH(QString, decision);
    QFETCH(QString, verdict);
    const Expected<TaskLintResult> decoded = TaskLintResult::decode(answer({{"decision", decision}}));
    QVERIFY(decoded);
    QCOMPARE(decoded->verdict(), verdict);
}

void TestTaskLintResult::sizeLabel_data()
{
    QTest::addColumn<QJsonValue>("taskSize");
    QTest::addColumn<QString>("label");
    QTest::addColumn<bool>("present");
    QTest::newRow("medium") << QJsonValue("medium") << "Medium" << true;
    QTest::newRow("outside the table") << QJsonValue("gigantic") << "gigantic" << true;
    QTest::newRow("table code in capitals") << QJsonValue("Large") << "Large" << true;
    QTest::newRow("empty") << QJsonValue("") << "" << true;
    QTest::newRow("absent") << QJsonValue() << "" << false;
}

void TestTaskLintResult::sizeLabel()
{
    QFETCH(QJsonValue, taskSize);
    QFETCH(QString, label);
    QFETCH(bool, present);
    const Expected<TaskLintResult> decoded = TaskLintResult::decode(answer({{"taskSize", taskSize}}));
    QVERIFY(decoded);
    QCOMPARE(decoded->sizeLabel().has_value(), present);
    if (present)
        QCOMPARE(*decoded->sizeLabel(), label);
}

void TestTaskLintResult::shapeRows_data()
{
    QTest::addColumn<QJsonObject>("shape");
    QTest::addColumn<QStringList>("rows"); // label=value
    QTest::newRow("only validation") << QJsonObject{{"validation", "run tests"}} << QStringList{"Validate=run tests"};
    QTest::newRow("all, in fixed order")
        << QJsonObject{{"stop", "5"}, {"validation", "4"}, {"preserve", "3"}, {"direction", "2"}, {"scope", "1"}}
        << QStringList{"Scope=1", "Direction=2", "Preserve=3", "Validate=4", "Stop=5"};
    QTest::newRow("empty and null fields skipped")
        << QJsonObject{{"scope", ""}, {"direction", QJsonValue()}, {"stop", " "}} << QStringList{"Stop= "};
    QTest::newRow("nothing set") << QJsonObject{} << QStringList{};
}

void TestTaskLintResult::shapeRows()
{
    QFETCH(QJsonObject, shape);
    QFETCH(QStringList, rows);
    const Expected<TaskLintResult> decoded = TaskLintResult::decode(answer({{"taskShape", shape}}));
    QVERIFY(decoded);
    QVERIFY(decoded->taskShape);
    QStringList actual;
    for (const TaskLintResult::Shape::Row &row : decoded->taskShape->rows())
        actual << row.label + QLatin1Char('=') + row.value;
    QCOMPARE(actual, rows);
}

QTEST_APPLESS_MAIN(TestTaskLintResult)
#include "tst_tasklintresult.moc"
