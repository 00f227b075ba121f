#include "check/TaskLintResult.h"
#include "service/CheckRequest.h"
#include "service/TaskLinter.h"
#include "service/TextPatterns.h"

#include "FixtureRows.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>

using namespace tessaline;

namespace {

TaskAssessment assess(const QJsonValue &task, const QJsonValue &quota = {})
{
    const Expected<CheckRequest> parsed = CheckRequest::decode(QJsonDocument(QJsonObject{{"task", task}, {"quota", quota}}).toJson());
    if (!parsed)
        qFatal("request refused: %s", qPrintable(parsed.error().message));
    return TaskLinter::assess(*parsed);
}

// Case and runs of white space do not matter when looking for the user's words.
QString folded(const QString &s)
{
    return s.simplified().toLower();
}

bool hasLint(const TaskAssessment &a, const char *code)
{
    return std::any_of(a.lints.begin(), a.lints.end(), [&](const TaskLint &l) { return l.code == QLatin1String(code); });
}

} // namespace

class TestTaskLinter : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void corpusCase_data()
    {
        addFixtureRows(QStringList{"service/corpus.json", "service/answers.json"},
                       {"name", "task", "quota", "decision", "size", "lints", "says"});
    }

    // Each task gets its recorded decision, size and lints, in an answer the program
    // accepts as sent: nothing dropped by its cleaning. "says": texts the answer holds.
    void corpusCase()
    {
        QFETCH(QJsonObject, row);
        const TaskAssessment a = assess(row["task"], row["quota"]);
        QStringList codes;
        for (const TaskLint &l : a.lints)
            codes << l.code;
        QCOMPARE(a.decision, row["decision"].toString());
        QCOMPARE(a.taskSize, row["size"].toString());
        QCOMPARE(codes, row["lints"].toVariant().toStringList());

        const Expected<TaskLintResult> d = TaskLintResult::decode(QJsonDocument(a.toJson()).toJson(QJsonDocument::Compact));
        QVERIFY2(d, d ? "" : qPrintable(d.error().message));
        QVERIFY(d->decision == a.decision && d->taskSize == a.taskSize && d->quota.reason == a.reason && d->deferred == a.deferred);
        QVERIFY(d->lints.size() == a.lints.size() && d->taskPacket == a.taskPacket && d->reservePolicy && d->taskShape && d->taskShape->rows().size() == 5);
        const QString answer = QString::fromUtf8(QJsonDocument(a.toJson()).toJson(QJsonDocument::Compact));
        for (const QJsonValue &says : row["says"].toArray())
            QVERIFY2(answer.contains(says.toString()), qPrintable(answer));
    }

    // Descriptions as people write them, each labelled with its main request. Whatever
    // else the linter says, it must not hurt the job: the main request is the Goal, never
    // put off or turned into the Stop line, and one job is never called several. Then
    // descriptions of odd shapes, whose Goal must still carry some of their words.
    // A "constraint" (a prohibition) binds the job it belongs to: it lands in Preserve,
    // never in a deferred item or the Stop line, and the request said beside it (after
    // "Just", "Only", "Instead", "Please") is still the Goal.
    // A "secret" is a credential as people paste it: the token formats of gitleaks' default
    // rules, names with the keyword anywhere, "… is <value>", URLs, command lines, headers,
    // escaped JSON, key blocks. Each is flagged, no eight characters of it come back in any
    // field, and the words on either side survive. The rows with an empty secret look alike
    // but are not credentials, and must come back untouched.
    void requestKeptWhole_data()
    {
        addFixtureRows(QStringList{"service/requests.json", "service/requests-odd-shapes.json", "service/prohibitions.json",
                                   "service/credentials.json"},
                       {"name", "task", "main", "multi", "check", "constraint", "secret"});
    }

    void requestKeptWhole()
    {
        QFETCH(QJsonObject, row);
        const QString task = row["task"].toString(), main = folded(row["main"].toString());
        const TaskAssessment a = assess(task);
        QVERIFY2(folded(a.goal).contains(main), qPrintable(a.goal));
        QVERIFY(a.taskPacket.startsWith(QStringLiteral("Goal: ") + a.goal));
        for (const QString &d : a.deferred)
            QVERIFY2(!folded(d).contains(main), qPrintable(d));
        QVERIFY2(!folded(a.shape.stop).contains(main), qPrintable(a.shape.stop));
        if (!row["multi"].toBool())
            QVERIFY2(!hasLint(a, "multiple_goals"), qPrintable(a.deferred.join(QStringLiteral(" | "))));
        if (const QString constraint = row["constraint"].toString(); !constraint.isEmpty()) {
            QVERIFY2(folded(a.shape.preserve).contains(constraint), qPrintable(a.shape.preserve));
            QVERIFY2(!folded(a.shape.stop).contains(constraint), qPrintable(a.shape.stop));
            QVERIFY2(a.deferred.isEmpty(), qPrintable(a.deferred.join(QStringLiteral(" | "))));
        }
        if (!row.contains("secret"))
            return;
        const QString secret = row["secret"].toString();
        const qsizetype at = secret.isEmpty() ? task.size() : task.indexOf(secret);
        const QString before = task.left(at), after = task.mid(at + secret.size());
        QStringList fields{a.goal, a.reason, a.taskPacket, a.shape.scope, a.shape.preserve, a.shape.validation, a.shape.stop};
        fields += a.deferred;
        for (const TaskLint &l : a.lints)
            fields << l.title << l.message << l.fix;
        const QString answer = fields.join(QLatin1Char('\n'));
        QCOMPARE(hasLint(a, "secret"), !secret.isEmpty());
        QVERIFY2(a.taskPacket.contains(before.right(8).trimmed()) && a.taskPacket.contains(after.left(8).trimmed()), qPrintable(a.taskPacket));
        const QString body = QString(secret).remove(QRegularExpression(QStringLiteral("-----[A-Z ]+-----")));
        for (qsizetype i = 0; i + 8 <= body.size(); ++i)
            QVERIFY2(!answer.contains(body.mid(i, 8)), qPrintable(body.mid(i, 8)));
    }

    // The figures service/README.md quotes, for the development set the rules were tuned
    // on (held to at least 80% of multi-job descriptions caught and of "no way to
    // validate" agreeing with the label) and for the held-out set, which is only printed:
    // asserting on it would start tuning the rules to it.
    void requestCorpusFigures()
    {
        for (const char *name : {"requests.json", "requests-heldout.json"}) {
            int goal = 0, kept = 0, single = 0, falseMulti = 0, multi = 0, caught = 0, agree = 0;
            const QJsonArray entries = fixtureRows(QStringLiteral("service/") + QLatin1String(name));
            for (const QJsonValue &v : entries) {
                const TaskAssessment a = assess(v["task"]);
                const QString main = folded(v["main"].toString());
                goal += folded(a.goal).contains(main);
                kept += !folded(a.shape.stop).contains(main)
                    && std::none_of(a.deferred.begin(), a.deferred.end(), [&](const QString &d) { return folded(d).contains(main); });
                (v["multi"].toBool() ? caught : falseMulti) += hasLint(a, "multiple_goals");
                ++(v["multi"].toBool() ? multi : single);
                agree += hasLint(a, "no_validation") != v["check"].toBool();
            }
            const QString figures = QString("%1: Goal %2/%3, kept out of deferred and Stop %4/%3, multiple_goals on %5/%6 "
                                            "single-job and %7/%8 multi-job, no_validation agrees %9/%3")
                                        .arg(QLatin1String(name)).arg(goal).arg(entries.size()).arg(kept).arg(falseMulti)
                                        .arg(single).arg(caught).arg(multi).arg(agree);
            qInfo("%s", qPrintable(figures));
            if (QLatin1String(name) == QLatin1String("requests.json"))
                QVERIFY2(caught * 10 >= multi * 8 && agree * 10 >= int(entries.size()) * 8, qPrintable(figures));
        }
    }

    // A match PCRE2 gives up on (here its match limit) is an error, never "no match":
    // read as no match it would let a credential or a clause boundary slip by.
    void patternFailureIsAnError()
    {
        QVERIFY_THROWS_EXCEPTION(rx::Failure, rx::contains(QRegularExpression(QStringLiteral("(a+)+$")), QString(40, QLatin1Char('a')) + QLatin1Char('b')));
    }

    // The longest description a client may send still gives a packet within the limit
    // every client accepts, cut on a character boundary, with its long characters (read
    // through stand-ins) given back as they came, and a private-use one left as itself.
    void packetStaysWithinLimit_data() { addFixtureRows(QStringLiteral("service/packet-units.json")); }

    void packetStaysWithinLimit()
    {
        QFETCH(QJsonObject, row);
        const QString unit = row["unit"].toString();
        QString task = QStringLiteral("Fix the parser and add a test. ");
        while (graphemeCount(task) + graphemeCount(unit) <= CheckRequest::maxTaskCharacters)
            task += unit;
        const TaskAssessment a = assess(task);
        QVERIFY(graphemeCount(a.taskPacket) <= TaskAssessment::maxPacketCharacters);
        QVERIFY(a.taskPacket.isValidUtf16());
        QVERIFY2(a.taskPacket.contains(unit.repeated(3)), qPrintable(a.taskPacket.right(80)));
    }

    // Status 0: accepted, with the task as given but trimmed; an accepted body leaves the
    // quota its share of the limit on bodies. "escaped": every UTF-16 unit of the task
    // written as \uXXXX, the longest way a client may write it. The HTTP test covers one
    // refusal of each status; these are the finer points of the format.
    void decodeRequest_data() { addFixtureRows(QStringLiteral("service/decode.json")); }

    void decodeRequest()
    {
        QFETCH(QJsonObject, row);
        const QString repeated = row["unit"].toString().repeated(row["repeat"].toInt()); // a task too long to write out
        QByteArray body = row.contains("body") ? row["body"].toString().toUtf8() : QJsonDocument(QJsonObject{{"task", repeated}}).toJson();
        if (row["escaped"].toBool()) {
            body = "{\"task\":\"";
            for (const QChar unit : repeated)
                body += "\\u" + QByteArray::number(unit.unicode(), 16).rightJustified(4, '0');
            body += "\"}";
        }
        const int status = row["status"].toInt();
        const Expected<CheckRequest> r = CheckRequest::decode(body);
        QCOMPARE(r ? 0 : r.error().code, status);
        QCOMPARE(r ? r->task : QString(), status ? QString() : row["task"].toString(repeated));
        QVERIFY(status || body.size() + CheckRequest::maxQuotaBytes <= CheckRequest::maxBodyBytes);
    }
};

QTEST_GUILESS_MAIN(TestTaskLinter)
#include "test_task_linter.moc"
