#include "quota/Usage.h"

#include "FixtureRows.h"

#include <QtTest>

using namespace tessaline;

class TestUsage : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Syntax and type faults ("malformed") carry the JSON layer's or the field's own text;
    // range faults ("outOfRange") the fixed schema text. A document that is not UTF-8 is
    // given in base64.
    void decode_data() { addFixtureRows(QStringLiteral("quota/usage-decode.json")); }
    void decode()
    {
        QFETCH(QJsonObject, row);
        const QByteArray document = row.contains("base64") ? QByteArray::fromBase64(row.value("base64").toString().toLatin1())
                                                           : row.value("document").toString().toUtf8();
        const QString outcome = row.value("outcome").toString();
        const Expected<Usage> usage = Usage::decode(document);
        const QString error = usage ? QString() : usage.error().message;
        QVERIFY2(usage.hasValue() == (outcome == "accepted") && (usage || !error.isEmpty()), qPrintable(error));
        QCOMPARE(error == QStringLiteral("Invalid usage schema"), outcome == "outOfRange");
        QVERIFY(outcome != "outOfRange" || usage.error().code == 1);
    }

    void decodeKeepsEveryField()
    {
        // Also a seed of fuzz_usage.
        QFile document(QStringLiteral(TESSALINE_FIXTURES "/quota/every-field.json"));
        QVERIFY(document.open(QIODevice::ReadOnly));
        const Expected<Usage> usage = Usage::decode(document.readAll());
        using P = Usage::PressureCheck;
        const Usage expected{.fetchedAt = 1767220000.25, .windows = {{"5h", 40, 60, 300, 1767225600.5}, {"week", 10, 90, 10080, -12.0}},
            .limitBuckets = QList<Usage::LimitBucket>{{"codex", "Codex", false, {{"x", 120, -20, 0, 1e300}}, "primary", true}},
            .pressureCheck = P{true, "Codex", false, "5h", -3.5, "behind", P::Secondary{"Spark", true, "weekly", 2.25, "ahead"}},
            .planType = "pro", .rateLimitReachedType = "secondary", .spendControlReached = false,
            .resetCredits = Usage::Credits{2, QList<Usage::Credits::Credit>{{"active", 1767300000.0}, {}}},
            .weeklyBudget = Usage::Budget{14.5, 0.6, 3600, 90}, .notificationEvents = QList<Usage::NotificationEvent>{{"k", "T", "B"}}};
        QVERIFY2(usage && *usage == expected, qPrintable(usage ? QString() : usage.error().message));
    }

    // Top-level pace fields must not leak into a blocked sentence, nor a secondary into an
    // open one. An absent key is a field the snapshot lacks; numbers JSON cannot hold are
    // strings ("-0", "nan").
    void summary_data() { addFixtureRows(QStringLiteral("quota/pressure-summary.json")); }
    void summary()
    {
        QFETCH(QJsonObject, row);
        const auto number = [](const QJsonValue &v) { return v.isString() ? v.toString().toDouble() : v.toDouble(); };
        const auto text = [&row](const char *key) { return row.contains(key) ? std::optional(row.value(key).toString()) : std::nullopt; };
        const QJsonObject s = row.value("secondary").toObject();
        const Usage::PressureCheck pressure{row.value("blocked").toBool(), text("bucket"),
            row.contains("isDefault") ? std::optional(row.value("isDefault").toBool()) : std::nullopt, text("window"),
            number(row.value("delta")), text("classification"), s.isEmpty() ? std::nullopt : std::optional(Usage::PressureCheck::Secondary{
                s.value("bucket").toString(), s.value("isDefault").toBool(), s.value("window").toString(), number(s.value("delta")),
                s.value("classification").toString()})};
        QCOMPARE(pressure.summary(), row.value("expected").toString());
    }
};

QTEST_GUILESS_MAIN(TestUsage)
#include "test_usage.moc"
