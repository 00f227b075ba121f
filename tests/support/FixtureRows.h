#pragma once

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QString>
#include <QTest>

// Tables that are pure data live in JSON files under tests/fixtures, so a row is added
// without touching code and the fuzzers can take the same inputs as seeds. A file holds an
// array of objects; each object is one row and its "name" names the row. The test declares
// one column, `QJsonObject row`, and reads the fields it needs from it.
//
//   void t_data() { addFixtureRows("service/credentials.json"); }
//   void t() { QFETCH(QJsonObject, row); ... row["text"].toString() ... }
inline QJsonArray fixtureRows(const QString &relativePath)
{
    const QString path = QStringLiteral(TESSALINE_FIXTURES "/") + relativePath;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read the fixture %s", qPrintable(path));
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !document.isArray())
        qFatal("%s is not a JSON array: %s", qPrintable(path), qPrintable(error.errorString()));
    return document.array();
}

// Several files make one table. Given `fields`, a row with any other field stops the test:
// a misspelt field would otherwise be read as absent and turn the row into another one.
inline void addFixtureRows(const QStringList &relativePaths, const QStringList &fields = {})
{
    QTest::addColumn<QJsonObject>("row");
    for (const QString &relativePath : relativePaths)
        for (const QJsonValue &value : fixtureRows(relativePath)) {
            const QJsonObject row = value.toObject();
            const QByteArray name = row.value(QLatin1String("name")).toString().toUtf8();
            if (name.isEmpty())
                qFatal("a row of %s has no name", qPrintable(relativePath));
            for (const QString &key : row.keys())
                if (!fields.isEmpty() && !fields.contains(key))
                    qFatal("%s: the row %s has an unknown field %s", qPrintable(relativePath), name.constData(), qPrintable(key));
            QTest::newRow(name.constData()) << row;
        }
}

inline void addFixtureRows(const QString &relativePath) { addFixtureRows(QStringList{relativePath}); }
