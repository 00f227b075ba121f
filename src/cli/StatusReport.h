#pragma once

#include "quota/Usage.h"
#include "reserve/Reserve.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace tessaline {

// What `tessaline status` reports: the two shown windows, the pressure sentence, the
// reserve band and the protected run's state. The running copy answers a status request
// with this object, and `--json` prints it, so both sides read one documented format.
struct StatusReport {
    struct Window {
        qint64 remainingPercent = 0;
        double resetsAt = 0; // seconds since 1970, as the helper gives it

        bool operator==(const Window &) const = default;
    };

    std::optional<Window> fiveHour;
    std::optional<Window> weekly;
    std::optional<QString> pressure;
    std::optional<QuotaBand> band;
    std::optional<ReserveState> run; // the state of a protected run in progress

    static StatusReport from(const Usage &usage, std::optional<ReserveState> run = std::nullopt);

    // One compact line of JSON.
    QByteArray json() const;
    // Nothing for anything that is not such an object.
    static std::optional<StatusReport> fromJson(const QByteArray &bytes);

    // The quota as the main window's panel states it: the pressure sentence, then each
    // shown window with its remaining share and its reset, one line each.
    QString text(double now) const;
    // One line for a waybar custom module with "return-type": "json".
    QByteArray waybar(double now) const;
    // The windows in a few words ("5-hour 65% · Weekly 28%"): a status line's text.
    QString brief() const;
    // The waybar line when the quota could not be read: the bar still shows the module,
    // and says why on hover.
    static QByteArray waybarFailure(const QString &sentence);

    bool operator==(const StatusReport &) const = default;
};

} // namespace tessaline
