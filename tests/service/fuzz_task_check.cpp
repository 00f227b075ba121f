// Feeds arbitrary bytes to the service, both as a whole request body and as the text of
// a task, and requires every answer it gives to be one the program accepts unchanged.
#include "check/TaskLintResult.h"
#include "service/CheckRequest.h"
#include "service/TaskLinter.h"

#include <QJsonDocument>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void checkAnswer(const tessaline::CheckRequest &request)
{
    const tessaline::TaskAssessment a = tessaline::TaskLinter::assess(request);
    const QByteArray bytes = QJsonDocument(a.toJson()).toJson(QJsonDocument::Compact);
    const auto decoded = tessaline::TaskLintResult::decode(bytes);
    if (!decoded || decoded->lints.size() != a.lints.size() || decoded->deferred != a.deferred
        || decoded->taskPacket != std::optional<QString>(a.taskPacket) || !decoded->reservePolicy)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto request = tessaline::CheckRequest::decode(bytes);
    if (request) {
        if (request->task.trimmed() != request->task || request->task.isEmpty())
            std::abort();
        checkAnswer(*request);
    } else if (request.error().code < 400 || request.error().code > 499) {
        std::abort();
    }

    tessaline::CheckRequest asText;
    asText.task = QString::fromUtf8(bytes).trimmed();
    if (!asText.task.isEmpty() && tessaline::graphemeCount(asText.task) <= tessaline::CheckRequest::maxTaskCharacters)
        checkAnswer(asText);
    return 0;
}
