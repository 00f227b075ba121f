// Time of one task check without the network: reading the request, linting and
// writing the answer, for a few kinds of description.
#include "service/CheckRequest.h"
#include "service/TaskLinter.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace tessaline;

class BenchLinter : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void check_data()
    {
        QTest::addColumn<QByteArray>("body");
        QFile file(QStringLiteral(TESSALINE_FIXTURES "/service/corpus.json"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonArray corpus = QJsonDocument::fromJson(file.readAll()).array();
        for (const char *name : {"small fix with test", "python traceback", "four lints without secret", "large healthy",
                                 "huge healthy"}) {
            for (const QJsonValue &v : corpus) {
                if (v[QLatin1String("name")].toString() == QLatin1String(name))
                    QTest::newRow(name) << QJsonDocument(QJsonObject{{"task", v[QLatin1String("task")]},
                                                                     {"quota", v[QLatin1String("quota")]}})
                                               .toJson(QJsonDocument::Compact);
            }
        }
        QString longest = QStringLiteral("Fix the parser and add a test. ");
        while (longest.size() < 7990)
            longest += QStringLiteral("The report view lists rows. ");
        QTest::newRow("8,000 characters") << QJsonDocument(QJsonObject{{"task", longest.left(8000)}}).toJson();
    }

    void check()
    {
        QFETCH(QByteArray, body);
        QByteArray answer;
        QBENCHMARK {
            answer = QJsonDocument(TaskLinter::assess(*CheckRequest::decode(body)).toJson()).toJson(QJsonDocument::Compact);
        }
        QVERIFY(!answer.isEmpty());
    }
};

QTEST_GUILESS_MAIN(BenchLinter)
#include "bench_linter.moc"
