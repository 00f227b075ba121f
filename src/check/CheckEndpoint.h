#pragma once

#include <QList>
#include <QSslCertificate>
#include <QString>
#include <QUrl>

#include <optional>

namespace tessaline {

// Where task checks go: the service's host (with an optional port) and any extra
// certificate authority trusted for that host on top of the system's. The program
// uses the build's endpoint; tests make their own.
struct CheckEndpoint {
    QString host;
    QList<QSslCertificate> extraAuthorities;

    // The host and authority fixed when the program was built.
    static CheckEndpoint build();

    // https://HOST/api/tessaline, or nothing when the host cannot form a clean URL.
    std::optional<QUrl> apiUrl() const;
    // https://HOST/tessaline/check, the page a browser opens; same rule.
    std::optional<QUrl> webCheckerUrl() const;

private:
    std::optional<QUrl> urlWithPath(const QString &path) const;
};

} // namespace tessaline
