// Arbitrary bytes, as a request body and as task text: every answer must be one the
// program accepts unchanged, every refusal a 4xx, and no check may take more than 50 ms of
// CPU per KiB of text (at least 50 ms) even in this instrumented build, where every
// allocation costs far more than in a release build. Every pattern is meant to run in
// linear time; an input that finds one that does not grows past any such allowance.
#include "check/TaskLintResult.h"
#include "service/CheckRequest.h"
#include "service/TaskLinter.h"
#include "service/TextPatterns.h"

#include <QJsonDocument>
#include <QRegularExpression>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>

using namespace tessaline;

// Nanoseconds of user CPU this thread has spent.
static qint64 userNanoseconds()
{
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return qint64(u.ru_utime.tv_sec) * 1'000'000'000 + qint64(u.ru_utime.tv_usec) * 1000;
}

// The least user CPU of up to three checks is held to the allowance: a page fault storm, a
// busy machine or the patterns compiling on their first use slow one run, a pattern that
// is not linear slows them all.
static void checkAnswer(const CheckRequest &request)
{
    const qint64 allowance = 50'000'000 * std::max<qint64>(1, request.task.size() * 2 / 1024);
    qint64 least = INT64_MAX;
    TaskAssessment a;
    for (int i = 0; i < 3 && least > allowance; ++i) {
        const qint64 start = userNanoseconds();
        a = TaskLinter::assess(request);
        least = std::min(least, userNanoseconds() - start);
    }
    if (least > allowance) {
        fprintf(stderr, "a check took %lld ms of CPU, over the %lld ms allowed\n", static_cast<long long>(least / 1'000'000),
                static_cast<long long>(allowance / 1'000'000));
        std::abort();
    }
    const auto decoded = TaskLintResult::decode(QJsonDocument(a.toJson()).toJson(QJsonDocument::Compact));
    if (!decoded || decoded->lints.size() != a.lints.size() || decoded->deferred != a.deferred
        || decoded->taskPacket != std::optional<QString>(a.taskPacket) || !decoded->reservePolicy)
        std::abort();
    // The copy the rules read turns back into the text exactly.
    const text::ReadingCopy copy(request.task);
    if (copy.restore(copy.text()) != request.task)
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
