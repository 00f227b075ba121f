#include "check/CheckEndpoint.h"

#include "check/BuildSettings.h"

#include <QFile>

#if TESSALINE_CHECK_HAS_CA
// A resource compiled into a static library is registered only when asked for by name.
static void initCheckCaResource()
{
    Q_INIT_RESOURCE(check_ca);
}
#endif

namespace tessaline {

CheckEndpoint CheckEndpoint::build()
{
    CheckEndpoint endpoint;
    endpoint.host = QStringLiteral(TESSALINE_CHECK_HOST_VALUE);
#if TESSALINE_CHECK_HAS_CA
    initCheckCaResource();
    QFile pem(QStringLiteral(TESSALINE_CHECK_CA_RESOURCE_PATH));
    if (pem.open(QIODevice::ReadOnly))
        endpoint.extraAuthorities = QSslCertificate::fromData(pem.readAll(), QSsl::Pem);
#endif
    return endpoint;
}

std::optional<QUrl> CheckEndpoint::apiUrl() const
{
    return urlWithPath(QStringLiteral("/api/tessaline"));
}

std::optional<QUrl> CheckEndpoint::webCheckerUrl() const
{
    return urlWithPath(QStringLiteral("/tessaline/check"));
}

std::optional<QUrl> CheckEndpoint::urlWithPath(const QString &path) const
{
    // The host is parsed as the authority of a URL and must come out as exactly that:
    // anything that spills into user info, path, query or fragment is refused, so the
    // description can never be sent somewhere other than the configured host.
    if (host.isEmpty())
        return std::nullopt;
    const QUrl url(QStringLiteral("https://") + host + path, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty() || url.path() != path
        || url.hasQuery() || url.hasFragment())
        return std::nullopt;
    return url;
}

} // namespace tessaline
