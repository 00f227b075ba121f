#include "check/JsonWriter.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace tessaline {

QByteArray JsonObjectWriter::encodeValue(const QJsonValue &value)
{
    // QJsonDocument only writes arrays and objects: wrap the value and unwrap the text.
    const QByteArray wrapped = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return wrapped.mid(1, wrapped.size() - 2);
}

void JsonObjectWriter::add(QStringView key, const QJsonValue &value)
{
    addEncoded(key, encodeValue(value));
}

void JsonObjectWriter::addEncoded(QStringView key, const QByteArray &json)
{
    if (bytes.size() > 1)
        bytes += ',';
    bytes += encodeValue(key.toString());
    bytes += ':';
    bytes += json;
}

} // namespace tessaline
