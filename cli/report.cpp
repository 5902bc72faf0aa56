#include "cli/report.h"

#include "cli/modulelink.h"

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
                       {"device", o.device},
                       {"result", resultText(o.result)},
                       {"values", o.succeeded() ? QJsonValue(o.values) : QJsonValue()},
                       {"drift", o.drift ? QJsonValue(*o.drift) : QJsonValue()},
                       {"frame_sent", o.frameSent},
                       {"error", textOrNull(o.error)}};
    if (isClock(request)) {
        object.insert("zone", request.utc ? QStringLiteral("UTC") : QStringLiteral("local"));
    }
    return jsonLine(object);
}

QString outcomesText(const Request& request, const std::vector<Outcome>& outcomes) {
    const bool clock = isClock(request);
    QList<QStringList> rows{
        {QStringLiteral("LABEL"), QStringLiteral("PORT"), QStringLiteral("DEVICE"),
         QStringLiteral("RESULT"), clock ? QStringLiteral("CLOCK") : QStringLiteral("SCHEDULE"),
         request.utc ? QStringLiteral("DRIFT (UTC)") : QStringLiteral("DRIFT (local)"),
         QStringLiteral("ERROR")}};
    bool labelled = false;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const Outcome& o = outcomes[i];
        const Target& target = request.targets[i];
        labelled = labelled || !target.label.isEmpty();
        rows.append({target.label, target.port == 0 ? QStringLiteral("-") : portLabel(target.port),
                     o.device, resultText(o.result),
                     o.succeeded() ? valuesText(o.values) : QString(),
                     o.drift ? QStringLiteral("%1%2 s").arg(*o.drift > 0 ? "+" : "").arg(*o.drift)
                             : QString(),
                     o.error});
    }
    for (QStringList& row : rows) {
        if (!clock) {
            row.removeAt(5);
        }
        if (!labelled) {
            row.removeFirst();
        }
    }
    return table(rows);
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
