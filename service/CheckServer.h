#pragma once

#include <QAbstractHttpServer>

namespace tessaline {

// The check service's HTTP layer: the check endpoint and the web checker page. It keeps
// no state between requests and writes no request content anywhere.
class CheckServer : public QAbstractHttpServer {
    Q_OBJECT

public:
    explicit CheckServer(QObject *parent = nullptr);

    static constexpr const char *apiPath = "/api/tessaline";
    static constexpr const char *pagePath = "/tessaline/check";

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;
};

} // namespace tessaline
