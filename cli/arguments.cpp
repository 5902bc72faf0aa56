#include "cli/arguments.h"

#include "cli/clocktime.h"
#include "protocol/frames.h"
#include "protocol/serialcontrol.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <optional>

namespace Cli {

namespace {

const char* const Description =
    R"(Reads, sets and checks the clocks and schedules of Velkaro modules on serial
ports, every target at once. Each set is read back from the module and checked.

Commands, each with an example:
  ports
      COM1 to COM9: the device each port stands for, whether it is present,
      accessible and free, and a USB adapter's description and serial number.
      velkaro-cli ports
  clock get
      Each module's clock and its drift from this computer's clock, in whole
      seconds (positive: the module is ahead).
      velkaro-cli clock get --port 1-8
  clock set TEXT | --from-pc
      Sets the clock to TEXT, "yy/mm/dd hh:mm:ss", or to this computer's local
      time, sent so that the frame ends as that second begins.
      velkaro-cli clock set --from-pc --port 1-8
      velkaro-cli clock set "26/03/29 03:00:00" --device /dev/ttyUSB0
  schedule get
      Each module's rate and on-time.
      velkaro-cli schedule get --port 3 --json
  schedule set --rate R --on-time S
      R is an entry of the rate list ("30  Minutes", "1   Hour", "2   Hours",
      "4   Hours", "6   Hours", "12  Hours", "24  Hours"), its short form (30m,
      1h, 2h, 4h, 6h, 12h, 24h) or its index 0 to 6; S is 1 to 240 seconds.
      velkaro-cli schedule set --rate 4h --on-time 100 --port 1,3,5-8

Port n is the device that a link COMn beside velkaro-cli points to, otherwise
/dev/ttyS<n-1>. The line runs at 9600,n,8,2; every command wakes the module and
waits a second before its frame: a get takes about a second, a checked set two
and a half to three, however many targets there are.

Output: a table, one row per target, or with --json one JSON object per line
and target: port, device, result ("ok", "sent" for a set not read back, or
"failed"), values, drift (seconds, clock commands) and error.
Exit status: 0 when every target succeeded, 1 when any failed, 2 for a usage
error (then nothing is sent).)";

// Short forms of the rate list entries, by rate index.
const char* const RateShortForms[] = {"30m", "1h", "2h", "4h", "6h", "12h", "24h"};
static_assert(std::size(RateShortForms) == std::size(Frames::RateTexts));

constexpr double MaxTimeoutSeconds = 600;

struct Options {
    QCommandLineOption port{"port",
                            "Module on port N; a list or range such as 1,3,5-8. Repeatable.", "N"};
    QCommandLineOption device{"device", "Module on the serial device PATH. Repeatable.", "PATH"};
    QCommandLineOption timeout{"timeout", "Wait up to SECONDS for each reply (default 3).",
                               "SECONDS"};
    QCommandLineOption noVerify{"no-verify", "Do not read a set value back to check it."};
    QCommandLineOption json{"json", "One JSON object per target and line instead of a table."};
    QCommandLineOption fromPc{"from-pc", "clock set: this computer's local time."};
    QCommandLineOption rate{"rate", "schedule set: the rate R.", "R"};
    QCommandLineOption onTime{"on-time", "schedule set: the on-time S, in seconds.", "S"};
};

// The options each command takes besides --json.
std::vector<const QCommandLineOption*> allowedOptions(Command command, const Options& o) {
    switch (command) {
    case Command::Ports:
        return {};
    case Command::ClockGet:
    case Command::ScheduleGet:
        return {&o.port, &o.device, &o.timeout};
    case Command::ClockSet:
        return {&o.port, &o.device, &o.timeout, &o.noVerify, &o.fromPc};
    case Command::ScheduleSet:
        return {&o.port, &o.device, &o.timeout, &o.noVerify, &o.rate, &o.onTime};
    }
    return {};
}

std::optional<int> wholeNumber(const QString& text) {
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,9}$"));
    if (!digits.match(text).hasMatch()) {
        return std::nullopt;
    }
    return text.toInt();
}

// The rate list entry (blanks and case aside), its short form or its index.
std::optional<int> rateIndex(const QString& text) {
    const QString wanted = text.simplified();
    for (int i = 0; i < int(std::size(Frames::RateTexts)); ++i) {
        if (wanted.compare(QString::fromLatin1(Frames::RateTexts[i]).simplified(),
                           Qt::CaseInsensitive) == 0 ||
            wanted.compare(QLatin1String(RateShortForms[i]), Qt::CaseInsensitive) == 0 ||
            wanted == QString::number(i)) {
            return i;
        }
    }
    return std::nullopt;
}

// "1,3,5-8": port numbers and ranges, each within the ports there are.
std::optional<std::vector<int>> portList(const QString& text) {
    std::vector<int> ports;
    for (const QString& item : text.split(u',')) {
        const QStringList ends = item.split(u'-');
        const std::optional<int> first = wholeNumber(ends.constFirst().trimmed());
        const std::optional<int> last = wholeNumber(ends.constLast().trimmed());
        if (ends.size() > 2 || !first || !last || *first > *last ||
            *first < SerialControl::FirstPort || *last > SerialControl::LastPort) {
            return std::nullopt;
        }
        for (int port = *first; port <= *last; ++port) {
            ports.push_back(port);
        }
    }
    return ports;
}

std::optional<Command> commandNamed(const QStringList& words) {
    const QString name = words.mid(0, 2).join(u' ');
    if (words.value(0) == u"ports") {
        return Command::Ports;
    }
    if (name == u"clock get") {
        return Command::ClockGet;
    }
    if (name == u"clock set") {
        return Command::ClockSet;
    }
    if (name == u"schedule get") {
        return Command::ScheduleGet;
    }
    if (name == u"schedule set") {
        return Command::ScheduleSet;
    }
    return std::nullopt;
}

void addTarget(Request& request, const Target& target) {
    if (std::find(request.targets.begin(), request.targets.end(), target) ==
        request.targets.end()) {
        request.targets.push_back(target);
    }
}

// The checks after the command is known; returns what is wrong, if anything.
QString readValues(const QCommandLineParser& parser, const Options& o, const QStringList& words,
                   Request& r) {
    const std::vector<const QCommandLineOption*> allowed = allowedOptions(r.command, o);
    for (const QCommandLineOption* option :
         {&o.port, &o.device, &o.timeout, &o.noVerify, &o.fromPc, &o.rate, &o.onTime}) {
        if (parser.isSet(*option) &&
            std::find(allowed.begin(), allowed.end(), option) == allowed.end()) {
            return QStringLiteral("--%1 does not go with %2")
                .arg(option->names().constFirst(), words.mid(0, 2).join(u' '));
        }
    }
    const qsizetype commandWords = r.command == Command::Ports ? 1 : 2;
    const QStringList rest = words.mid(commandWords);
    if (r.command != Command::ClockSet && !rest.isEmpty()) {
        return QStringLiteral("unexpected argument \"%1\"").arg(rest.constFirst());
    }
    if (r.command == Command::Ports) {
        return {};
    }

    for (const QString& list : parser.values(o.port)) {
        const std::optional<std::vector<int>> ports = portList(list);
        if (!ports) {
            return QStringLiteral("--port takes port numbers %1 to %2, single or as ranges such as "
                                  "1,3,5-8, not \"%3\"")
                .arg(SerialControl::FirstPort)
                .arg(SerialControl::LastPort)
                .arg(list);
        }
        for (const int port : *ports) {
            addTarget(r, Target{port, {}});
        }
    }
    for (const QString& path : parser.values(o.device)) {
        if (path.isEmpty()) {
            return QStringLiteral("--device needs a path");
        }
        addTarget(r, Target{0, path});
    }
    if (r.targets.empty()) {
        return QStringLiteral("no module given: use --port or --device");
    }

    if (parser.isSet(o.timeout)) {
        // Whole milliseconds: a value that rounds to none would wait for nothing.
        bool ok = false;
        const double seconds = parser.value(o.timeout).toDouble(&ok);
        if (!ok || !(seconds > 0 && seconds <= MaxTimeoutSeconds) ||
            std::llround(seconds * 1000) < 1) {
            return QStringLiteral("--timeout takes seconds from 0.001 up to %1, not \"%2\"")
                .arg(MaxTimeoutSeconds)
                .arg(parser.value(o.timeout));
        }
        r.timeout = std::chrono::milliseconds(std::llround(seconds * 1000));
    }
    r.verify = !parser.isSet(o.noVerify);

    if (r.command == Command::ClockSet) {
        r.fromPc = parser.isSet(o.fromPc);
        const QString text = rest.join(u' ');
        if (r.fromPc == !rest.isEmpty()) {
            return QStringLiteral("clock set takes either TEXT or --from-pc");
        }
        if (!r.fromPc) {
            r.clockText = text.toLatin1();
            if (!ClockTime::parse(r.clockText)) {
                return QStringLiteral("the clock text must be \"yy/mm/dd hh:mm:ss\" with a real "
                                      "date and time, not \"%1\"")
                    .arg(text);
            }
        }
    }
    if (r.command == Command::ScheduleSet) {
        if (!parser.isSet(o.rate) || !parser.isSet(o.onTime)) {
            return QStringLiteral("schedule set needs --rate and --on-time");
        }
        const std::optional<int> rate = rateIndex(parser.value(o.rate));
        if (!rate) {
            QStringList shortForms;
            for (const char* form : RateShortForms) {
                shortForms << QString::fromLatin1(form);
            }
            return QStringLiteral("--rate takes an entry of the rate list (\"%1\" to \"%2\"), %3 "
                                  "or 0 to %4, not \"%5\"")
                .arg(QLatin1String(Frames::RateTexts[0]),
                     QLatin1String(std::end(Frames::RateTexts)[-1]), shortForms.join(u", "))
                .arg(std::size(Frames::RateTexts) - 1)
                .arg(parser.value(o.rate));
        }
        const std::optional<int> onTime = wholeNumber(parser.value(o.onTime));
        if (!onTime || *onTime < Frames::MinOnTime || *onTime > Frames::MaxOnTime) {
            return QStringLiteral("--on-time takes whole seconds from %1 to %2, not \"%3\"")
                .arg(Frames::MinOnTime)
                .arg(Frames::MaxOnTime)
                .arg(parser.value(o.onTime));
        }
        r.rateIndex = *rate;
        r.onTime = *onTime;
    }
    return {};
}

} // namespace

Parsed parseArguments(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(Description));
    // Not addHelpOption(): its --help-all would list the toolkit's options,
    // which this program does not take.
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays this help and exits."));
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    const Options o;
    parser.addOptions(
        {o.port, o.device, o.timeout, o.noVerify, o.json, o.fromPc, o.rate, o.onTime});
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("ports, clock get, clock set, schedule get or "
                                                "schedule set, as above."),
                                 QStringLiteral("command"));

    Parsed result;
    if (!parser.parse(arguments)) {
        result.text = parser.errorText();
        return result;
    }
    if (parser.isSet(help)) {
        result.outcome = Parsed::Outcome::Help;
        result.text = parser.helpText();
        return result;
    }
    if (parser.isSet(version)) {
        result.outcome = Parsed::Outcome::Version;
        result.text = QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                    QCoreApplication::applicationVersion());
        return result;
    }
    const QStringList words = parser.positionalArguments();
    const std::optional<Command> command = commandNamed(words);
    if (!command) {
        result.text =
            words.isEmpty()
                ? QStringLiteral("no command given")
                : QStringLiteral("unknown command \"%1\"").arg(words.mid(0, 2).join(u' '));
        return result;
    }
    result.request.command = *command;
    result.request.json = parser.isSet(o.json);
    result.text = readValues(parser, o, words, result.request);
    if (result.text.isEmpty()) {
        result.outcome = Parsed::Outcome::Run;
    }
    return result;
}

} // namespace Cli
