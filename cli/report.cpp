#include "cli/report.h"

#include "cli/modulelink.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>

#include <algorithm>

namespace Cli {

namespace {

QString portLabel(int port) {
    return port == 0 ? QString() : QStringLiteral("COM%1").arg(port);
}

QJsonValue textOrNull(const QString& text) {
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

QString resultText(Outcome::Result result) {
    switch (result) {
    case Outcome::Result::Ok:
        return QStringLiteral("ok");
    case Outcome::Result::Sent:
        return QStringLiteral("sent");
    case Outcome::Result::Kept:
        return QStringLiteral("kept");
    case Outcome::Result::Interrupted:
        return QStringLiteral("interrupted");
    case Outcome::Result::Failed:
        break;
    }
    return QStringLiteral("failed");
}

bool isClock(const Request& request) {
    return request.command == Command::ClockGet || request.command == Command::ClockSet;
}

QString valuesText(const QJsonObject& values) {
    if (values.contains(QLatin1String("clock"))) {
        return values.value(QLatin1String("clock")).toString();
    }
    if (values.isEmpty()) {
        return {};
    }
    return QStringLiteral("%1, %2 s")
        .arg(values.value(QLatin1String("rate")).toString())
        .arg(values.value(QLatin1String("on_time")).toInt());
}

// Columns as wide as their widest cell, two blanks apart. A cell may hold
// bytes from a module or a device name: they reach the terminal printable.
QString table(const QList<QStringList>& rows) {
    QList<qsizetype> widths;
    for (const QStringList& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (qsizetype i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    QString text;
    for (const QStringList& row : rows) {
        QString line;
        for (qsizetype i = 0; i < row.size(); ++i) {
            line += printable(row[i]).leftJustified(widths[i] + 2);
        }
        while (line.endsWith(u' ')) {
            line.chop(1);
        }
        text += line + u'\n';
    }
    return text;
}

QString jsonLine(const QJsonObject& object) {
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + u'\n';
}

QString yesNo(bool value) {
    return value ? QStringLiteral("yes") : QStringLiteral("no");
}

} // namespace

QString outcomeJson(const Request& request, std::size_t index, const Outcome& o) {
    const Target& target = request.targets[index];
    QJsonObject object{{"label", textOrNull(target.label)},
                       {"port", textOrNull(portLabel(target.port))},
                       {"link", textOrNull(o.link)},
                       {"device", o.device},
                       {"result", resultText(o.result)},
                       {"values", o.succeeded() ? QJsonValue(o.values) : QJsonValue()},
                       {"frame_sent", o.frameSent},
                       {"error", textOrNull(o.error)}};
    if (isClock(request)) {
        object.insert("zone", request.utc ? QStringLiteral("UTC") : QStringLiteral("local"));
        object.insert("drift", o.drift ? QJsonValue(o.drift->seconds) : QJsonValue());
        object.insert("drift_precision", o.drift ? QJsonValue(o.drift->precision) : QJsonValue());
        object.insert("utc_offset", o.utcOffset ? QJsonValue(*o.utcOffset) : QJsonValue());
        object.insert("pc_synchronised",
                      request.pcSynchronised ? QJsonValue(*request.pcSynchronised) : QJsonValue());
        object.insert("warnings", QJsonArray::fromStringList(o.warnings));
    }
    return jsonLine(object);
}

OutcomeTable::OutcomeTable(const Request& request, const QStringList& devices) : request_(request) {
    const bool clock = isClock(request);
    QStringList header{QStringLiteral("LABEL"),
                       QStringLiteral("PORT"),
                       QStringLiteral("DEVICE"),
                       QStringLiteral("RESULT"),
                       clock ? QStringLiteral("CLOCK") : QStringLiteral("SCHEDULE"),
                       request.utc ? QStringLiteral("DRIFT (UTC)")
                                   : QStringLiteral("DRIFT (local)"),
                       QStringLiteral("ERROR")};
    // The widest cells each column can hold, known before any module answers.
    const auto width = [](const char* widest) { return QLatin1String(widest).size(); };
    widths_ = {0,
               width("COM9"),
               0,
               width("interrupted"),
               width(clock ? "yy/mm/dd hh:mm:ss" : "12  Hours, 240 s"),
               width("-86400.000 s"),
               0};
    for (const Target& target : request.targets) {
        widths_[0] = std::max(widths_[0], printable(target.label).size());
        labelled_ = labelled_ || !target.label.isEmpty();
    }
    for (const QString& device : devices) {
        widths_[2] = std::max(widths_[2], printable(device).size());
    }
    header_ = line(header);
}

QString OutcomeTable::row(std::size_t index, const Outcome& o) const {
    const Target& target = request_.targets[index];
    QString drift;
    if (o.drift) {
        drift = QStringLiteral("%1%2 s")
                    .arg(o.drift->seconds > 0 ? "+" : "")
                    .arg(o.drift->precision < 1 ? QString::number(o.drift->seconds, 'f', 3)
                                                : QString::number(o.drift->seconds));
    }
    QString remark = o.error;
    if (o.succeeded() && !o.warnings.isEmpty()) {
        remark = QStringLiteral("warning: ") + o.warnings.join(QStringLiteral("; "));
    }
    return line({target.label, target.port == 0 ? QStringLiteral("-") : portLabel(target.port),
                 o.device, resultText(o.result), o.succeeded() ? valuesText(o.values) : QString(),
                 drift, remark});
}

// One line of the table: each cell padded to its column's width, two blanks
// apart; without the label column when no target has a label, and without
// the drift column for schedules. A cell may hold bytes from a module or a
// device name: they reach the terminal printable.
QString OutcomeTable::line(const QStringList& cells) const {
    QString text;
    for (qsizetype i = 0; i < cells.size(); ++i) {
        if ((i == 0 && !labelled_) || (i == 5 && !isClock(request_))) {
            continue;
        }
        text += printable(cells[i]).leftJustified(std::max(widths_[i], cells[i].size()) + 2);
    }
    while (text.endsWith(u' ')) {
        text.chop(1);
    }
    return text + u'\n';
}

QString failureLine(const Request& request, std::size_t index, const Outcome& o) {
    const Target& target = request.targets[index];
    QStringList who{target.label, portLabel(target.port), o.device};
    who.removeAll(QString());
    return printable(
        QStringLiteral("%1: %2: %3").arg(who.join(u' '), resultText(o.result), o.error));
}

QString portsText(const std::vector<PortFacts>& ports, bool json) {
    QList<QStringList> rows{{QStringLiteral("PORT"), QStringLiteral("DEVICE"),
                             QStringLiteral("PRESENT"), QStringLiteral("ACCESSIBLE"),
                             QStringLiteral("FREE"), QStringLiteral("USB ADAPTER"),
                             QStringLiteral("SERIAL"), QStringLiteral("WHY NOT FREE")}};
    QString lines;
    for (const PortFacts& p : ports) {
        lines += jsonLine(QJsonObject{{"port", portLabel(p.port)},
                                      {"device", p.device},
                                      {"present", p.present},
                                      {"accessible", p.accessible},
                                      {"free", p.free},
                                      {"error", textOrNull(p.reason)},
                                      {"description", textOrNull(p.description)},
                                      {"serial_number", textOrNull(p.serialNumber)}});
        rows.append({portLabel(p.port), p.device, yesNo(p.present), yesNo(p.accessible),
                     yesNo(p.free), p.description, p.serialNumber, p.reason});
    }
    return json ? lines : table(rows);
}

} // namespace Cli
