#pragma once

#include <QString>
#include <QStringList>

namespace tessaline {

// A task text with every credential in it replaced by "[redacted]", and the kinds found
// ("a private key", "a password", …) in the order they first appear. Only the secret
// itself is replaced: the key name, the URL around a password, the header name and the
// words before and after stay, so the request still reads.
struct Redaction {
    QString text;
    QStringList kinds;
};

class Redactor {
public:
    static Redaction redact(const QString &text);
};

} // namespace tessaline
