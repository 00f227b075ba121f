#pragma once

#include <QString>
#include <QStringList>

namespace tessaline {

// A task description read into what the rules judge: the prose, the main request, the
// other jobs, and the user's own constraints, check and stop condition.
struct ReadRequest {
    static constexpr int maxJobTexts = 5; // as many as an answer defers

    QString prose;            // the written text: pasted code, logs and transcripts set aside
    int pastedLines = 0;      // lines set aside as pasted; 0 unless three or more
    int words = 0;            // words of prose
    QString goal;             // the main request in the user's words ("Title: request")
    bool multipleGoals = false;
    int jobCount = 0;         // jobs of their own besides the main request, when multipleGoals
    QStringList jobs;         // the first of them as written, up to maxJobTexts
    QStringList constraints;  // what must not happen in this run, as full sentences
    QString validation;       // the user's own check
    QString stop;             // the user's own stop condition
    QStringList targets;      // files, identifiers and named things the text names
    int fileTargets = 0;
    bool namesCheck = false;  // the prose says how to check the result somewhere
    bool namesStop = false;   // the prose bounds the run somewhere
};

class RequestReader {
public:
    // Reads a text whose credentials were already replaced. Throws rx::Failure when a
    // pattern cannot be matched.
    static ReadRequest read(const QString &text);
};

} // namespace tessaline
