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
    case Outcome::Result::Failed:
        break;
    }
    return QStringLiteral("failed");
}

QString valuesText(const QJsonObject& values) {
    if (values.contains(QLatin1String("clock"))) {
        return values.value(QLatin1String("clock")).toString();
    }
    if (values.isEmpty()) {
        return {};
    }
    const QJsonValue rate = values.value(QLatin1String("rate"));
    const QJsonValue onTime = values.value(QLatin1String("on_time"));
    return QStringLiteral("%1, %2").arg(
        rate.isNull() ? QStringLiteral("rate %1").arg(values.value("rate_index").toInt())
                      : rate.toString(),
        onTime.isNull() ? QStringLiteral("---") : QStringLiteral("%1 s").arg(onTime.toInt()));
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
        text += line.trimmed() + u'\n';
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

QString outcomesText(const Request& request, const std::vector<Outcome>& outcomes) {
    const bool clock = request.command == Command::ClockGet || request.command == Command::ClockSet;
    QList<QStringList> rows{{QStringLiteral("PORT"), QStringLiteral("DEVICE"),
                             QStringLiteral("RESULT"),
                             clock ? QStringLiteral("CLOCK") : QStringLiteral("SCHEDULE"),
                             QStringLiteral("DRIFT"), QStringLiteral("ERROR")}};
    QString json;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const Outcome& o = outcomes[i];
        const QString port = portLabel(request.targets[i].port);
        json += jsonLine(QJsonObject{{"port", textOrNull(port)},
                                     {"device", o.device},
                                     {"result", resultText(o.result)},
                                     {"values", o.values},
                                     {"drift", o.drift ? QJsonValue(*o.drift) : QJsonValue()},
                                     {"error", textOrNull(o.error)}});
        rows.append({port.isEmpty() ? QStringLiteral("-") : port, o.device, resultText(o.result),
                     valuesText(o.values),
                     o.drift ? QStringLiteral("%1%2 s").arg(*o.drift > 0 ? "+" : "").arg(*o.drift)
                             : QString(),
                     o.error});
    }
    if (!clock) {
        for (QStringList& row : rows) {
            row.removeAt(4);
        }
    }
    return request.json ? json : table(rows);
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
