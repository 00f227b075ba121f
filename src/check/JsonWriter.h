#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QStringView>

namespace tessaline {

// Writes one compact JSON object with its keys in the order they are added.
// QJsonObject sorts its keys, which would put "quota" before "task" in a request.
class JsonObjectWriter {
public:
    void add(QStringView key, const QJsonValue &value);
    // `json` must already be one complete, compact JSON value.
    void addEncoded(QStringView key, const QByteArray &json);
    QByteArray finish() const { return bytes + '}'; }

    // Compact JSON text of a single value, as QJsonDocument writes it.
    static QByteArray encodeValue(const QJsonValue &value);

private:
    QByteArray bytes = "{";
};

} // namespace tessaline
