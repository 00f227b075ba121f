#pragma once

#include <QProcess>
#include <QTest>

namespace testsupport {

// A real XEmbed system tray on the test's X server, for as long as the object lives.
class TrayProcess {
public:
    bool start()
    {
        process.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "request",
                                 "--height", "24", "--SetDockType", "false"});
        return process.waitForStarted(10000);
    }
    ~TrayProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(5000))
                process.kill();
            process.waitForFinished(5000);
        }
    }

    QProcess process;
};

} // namespace testsupport
