// Arbitrary bytes, as a request body and as task text: every answer must be one the
// program accepts unchanged, every refusal a 4xx.
#include "check/TaskLintResult.h"
#include "service/CheckRequest.h"
#include "service/TaskLinter.h"

#include <QJsonDocument>
#include <QRegularExpression>

#include <cstdint>
#include <cstdlib>

using namespace tessaline;

static void checkAnswer(const CheckRequest &request)
{
    const TaskAssessment a = TaskLinter::assess(request);
    const auto decoded = TaskLintResult::decode(QJsonDocument(a.toJson()).toJson(QJsonDocument::Compact));
    if (!decoded || decoded->lints.size() != a.lints.size() || decoded->deferred != a.deferred
        || decoded->taskPacket != std::optional<QString>(a.taskPacket) || !decoded->reservePolicy)
        std::abort();
    // A description with words never gets an empty Goal.
    static const QRegularExpression word(QStringLiteral("[\\p{L}\\p{N}]"));
    if (request.task.contains(word) && !a.goal.contains(word))
        std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    if (const auto request = CheckRequest::decode(bytes)) {
        if (request->task.trimmed() != request->task || request->task.isEmpty())
            std::abort();
        checkAnswer(*request);
    } else if (request.error().code < 400 || request.error().code > 499) {
        std::abort();
    }
    CheckRequest asText;
    asText.task = QString::fromUtf8(bytes).trimmed();
    if (!asText.task.isEmpty() && graphemeCount(asText.task) <= CheckRequest::maxTaskCharacters)
        checkAnswer(asText);
    return 0;
}
