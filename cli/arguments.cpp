#include "cli/arguments.h"

#include "cli/clocktime.h"
#include "cli/modulelink.h"
#include "cli/portfacts.h"
#include "cli/stopsignals.h"
#include "cli/systemfacts.h"
#include "cli/textdecoding.h"
#include "protocol/frames.h"
#include "protocol/portrules.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>

namespace Cli {

namespace {

const char* const Description =
    R"(Reads, sets and checks the clocks and schedules of Velkaro modules on serial
ports, every target at once. Each set is read back from the module and checked.

Commands, each with an example:
  ports
      COM1 to COM%1: the device each port stands for, whether it is present,
      accessible and free, and a USB adapter's description and serial number.
      velkaro-cli ports
  clock get
      Each module's clock and its drift from this computer's clock, in whole
      seconds (positive: the module is ahead); with --precise to about 0.01 s,
      found from several reads timed against this computer's clock.
      velkaro-cli clock get --port 1-8
      velkaro-cli clock get --precise --port 1-8 --json
  clock set TEXT | --from-pc
      Sets the clock to TEXT, "yy/mm/dd hh:mm:ss", or to this computer's local
      time, sent so that the frame ends as that second begins: the local time
      at that instant; a set that would straddle a change of the local time
      (daylight saving) waits until it has passed. Each row warns when this
      computer's clock is not synchronised; --require-synced fails instead.
      velkaro-cli clock set --from-pc --port 1-8
      velkaro-cli clock set "26/03/29 03:00:00" --device %3
      velkaro-cli clock set --from-pc --if-drift-over 2 --targets rack.txt --quiet
  schedule get
      Each module's rate and on-time.
      velkaro-cli schedule get --port 3 --json
  schedule set --rate R --on-time S
      R is an entry of the rate list ("30  Minutes", "1   Hour", "2   Hours",
      "4   Hours", "6   Hours", "12  Hours", "24  Hours"), its short form (30m,
      1h, 2h, 4h, 6h, 12h, 24h) or its index 0 to 6; S is 1 to 240 seconds.
      velkaro-cli schedule set --rate 4h --on-time 100 --port 1,3,5-8

%2
A targets file holds one target a line, a label and a port number or device
path ("rack-a-3 %3"); "#" begins a comment.
The line runs at 9600,n,8,2; every command wakes the module and waits a second
before its frame: a get takes about a second, a checked set two and a half to
three, however many targets there are.

Output: a table, or with --json one JSON object per line, a row per target
as soon as its target is done: label, port, link (the COMn link or other
link given, if any), device (the device it leads to), result ("ok"; "sent"
for a set not read back; "kept" for a clock within the drift limit;
"failed"; "interrupted"), values (null unless it succeeded), frame_sent
(whether the command's frame went out) and error; clock commands add zone
("local" or "UTC"), drift (seconds; with --if-drift-over, before the set)
and drift_precision (seconds either way), utc_offset (seconds, in force
then), pc_synchronised (null when it cannot be told) and warnings. Below
5 s, --if-drift-over measures as --precise and sets only a clock known to
be further off.
%4
Exit status: 0 when every target succeeded, 1 when any failed or was
interrupted, or the report could not be written, 2 for a usage error (then
nothing is sent).)";

// Short forms of the rate list entries, by rate index.
const char* const RateShortForms[] = {"30m", "1h", "2h", "4h", "6h", "12h", "24h"};
static_assert(std::size(RateShortForms) == std::size(Frames::RateTexts));

constexpr double MaxTimeoutSeconds = 600;
// A targets file is a list of lines typed by an administrator.
constexpr qint64 MaxTargetsFileBytes = 1 << 20;

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
    QCommandLineOption targets{"targets", "The modules listed in FILE (see below). Repeatable.",
                               "FILE"};
    QCommandLineOption ifDriftOver{"if-drift-over",
                                   "clock set --from-pc: read each clock first and set only those "
                                   "more than SECONDS off; report the others as kept.",
                                   "SECONDS"};
    QCommandLineOption quiet{"quiet", "Nothing on success; one line per failed target on "
                                      "standard error."};
    QCommandLineOption utc{"utc", "Clocks in UTC instead of this computer's local time."};
    QCommandLineOption precise{"precise", "clock get: find each module's second edge and tell "
                                          "the drift to the hundredth of a second (about ten "
                                          "seconds)."};
    QCommandLineOption requireSynced{"require-synced",
                                     "clock set --from-pc: fail every target when this "
                                     "computer's clock is not synchronised."};
};

// The options each command takes besides --json.
std::vector<const QCommandLineOption*> allowedOptions(Command command, const Options& o) {
    switch (command) {
    case Command::Ports:
        return {};
    case Command::ClockGet:
        return {&o.port, &o.device, &o.targets, &o.timeout, &o.quiet, &o.utc, &o.precise};
    case Command::ScheduleGet:
        return {&o.port, &o.device, &o.targets, &o.timeout, &o.quiet};
    case Command::ClockSet:
        return {&o.port,     &o.device, &o.targets,     &o.timeout, &o.quiet,
                &o.noVerify, &o.fromPc, &o.ifDriftOver, &o.utc,     &o.requireSynced};
    case Command::ScheduleSet:
        return {&o.port,  &o.device,   &o.targets, &o.timeout,
                &o.quiet, &o.noVerify, &o.rate,    &o.onTime};
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

// A port as a number, 3, or by its name, COM3 (any case).
std::optional<int> portNumber(QString text) {
    if (text.startsWith(QLatin1String("COM"), Qt::CaseInsensitive)) {
        text.remove(0, 3);
    }
    return wholeNumber(text);
}

// "1,3,5-8": port numbers and ranges, each within the ports there are.
std::optional<std::vector<int>> portList(const QString& text) {
    std::vector<int> ports;
    for (const QString& item : text.split(u',')) {
        const QStringList ends = item.split(u'-');
        const std::optional<int> first = portNumber(ends.constFirst().trimmed());
        const std::optional<int> last = portNumber(ends.constLast().trimmed());
        if (ends.size() > 2 || !first || !last || *first > *last || *first < PortRules::FirstPort ||
            *last > LastPort) {
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

// What a message shows of a word from a file or the command line: printable,
// and not without end.
QString masked(const QString& word) {
    constexpr qsizetype MaxShown = 40;
    const QString shown = printable(word.left(MaxShown));
    return word.size() > MaxShown ? shown + QStringLiteral("...") : shown;
}

// One line's target, or what is wrong with it.
QString targetOnLine(const QStringList& words, Target& target) {
    if (words.size() == 1) {
        return QStringLiteral("\"%1\" needs a port (%2 to %3) or a device path after it")
            .arg(masked(words[0]))
            .arg(PortRules::FirstPort)
            .arg(LastPort);
    }
    if (words.size() > 2) {
        return QStringLiteral("a target is a label and a port or device path, not %1 words")
            .arg(words.size());
    }
    target.label = words[0];
    const QString& where = words[1];
    if (isDevicePath(where)) {
        target.device = where;
        return {};
    }
    const std::optional<int> port = portNumber(where);
    if (port && *port >= PortRules::FirstPort && *port <= LastPort) {
        target.port = *port;
        return {};
    }
    if (port) {
        return QStringLiteral("port \"%1\" is out of range %2 to %3")
            .arg(masked(where))
            .arg(PortRules::FirstPort)
            .arg(LastPort);
    }
    if (where.contains(u'/') || where.contains(u'\\')) {
        return QStringLiteral("\"%1\" is neither a port nor a device path").arg(masked(where));
    }
    return QStringLiteral("\"%1\" is not a device path: did you mean %2?")
        .arg(masked(where), masked(devicePathFor(where)));
}

// A targets file: one target a line, "LABEL PORT-or-DEVICE", a port as 3 or
// COM3, a device as an absolute path; "#" comments to the end of its line.
// Returns what is wrong, if anything, with the file's name and the line's
// number; a word of it only masked: the file may hold anything.
QString readTargets(const QString& path, Request& r) {
    // The operator's own path, whole, as the system writes paths.
    const QString shown = printable(QDir::toNativeSeparators(path));
    QFile file(path);
    if (const QString why = SystemFacts::openRegularFile(file); !why.isEmpty()) {
        return QStringLiteral("cannot read the targets file %1: %2").arg(shown, why);
    }
    const QByteArray bytes = file.read(MaxTargetsFileBytes + 1);
    if (bytes.size() > MaxTargetsFileBytes) {
        return QStringLiteral("the targets file %1 is larger than %2 bytes")
            .arg(shown)
            .arg(MaxTargetsFileBytes);
    }
    const std::optional<QString> text = decodeText(bytes);
    if (!text) {
        return QStringLiteral("the targets file %1 is neither UTF-8 nor UTF-16 text").arg(shown);
    }
    const QStringList lines = text->split(u'\n');
    std::map<QString, qsizetype> labelLines;
    bool any = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QStringList words =
            lines[i].section(u'#', 0, 0).simplified().split(u' ', Qt::SkipEmptyParts);
        if (words.isEmpty()) {
            continue;
        }
        Target target;
        QString wrong = targetOnLine(words, target);
        const auto [earlier, fresh] = labelLines.emplace(target.label, i + 1);
        if (wrong.isEmpty() && !fresh) {
            wrong = QStringLiteral("duplicate label \"%1\" (also line %2)")
                        .arg(masked(target.label))
                        .arg(earlier->second);
        }
        if (!wrong.isEmpty()) {
            return QStringLiteral("%1:%2: %3").arg(shown).arg(i + 1).arg(wrong);
        }
        addTarget(r, target);
        any = true;
    }
    if (!any) {
        return QStringLiteral("the targets file %1 lists no targets").arg(shown);
    }
    return {};
}

// The number of single-character edits that turn `a` into `b`.
qsizetype editDistance(const QString& a, const QString& b) {
    std::vector<qsizetype> row(std::size_t(b.size()) + 1);
    for (qsizetype j = 0; j <= b.size(); ++j) {
        row[std::size_t(j)] = j;
    }
    for (qsizetype i = 1; i <= a.size(); ++i) {
        qsizetype diagonal = row[0];
        row[0] = i;
        for (qsizetype j = 1; j <= b.size(); ++j) {
            const qsizetype above = row[std::size_t(j)];
            row[std::size_t(j)] = std::min({above + 1, row[std::size_t(j - 1)] + 1,
                                            diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[std::size_t(b.size())];
}

// An unknown option, and the known one nearest to it when it is near enough
// to be a slip.
QString unknownOption(const QString& name, const QList<QCommandLineOption>& known) {
    QString nearest;
    qsizetype best = std::max<qsizetype>(2, name.size() / 3) + 1;
    for (const QCommandLineOption& option : known) {
        const QString& longName = option.names().constLast();
        const qsizetype distance = editDistance(name, longName);
        if (longName.size() > 1 && distance < best) {
            best = distance;
            nearest = longName;
        }
    }
    const QString dashes = name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--");
    const QString text = QStringLiteral("unknown option %1%2").arg(dashes, masked(name));
    return nearest.isEmpty() ? text : text + QStringLiteral(": did you mean --%1?").arg(nearest);
}

// The checks after the command is known; returns what is wrong, if anything.
QString readValues(const QCommandLineParser& parser, const Options& o, const QStringList& words,
                   Request& r) {
    const std::vector<const QCommandLineOption*> allowed = allowedOptions(r.command, o);
    for (const QCommandLineOption* option :
         {&o.port, &o.device, &o.targets, &o.timeout, &o.quiet, &o.noVerify, &o.fromPc,
          &o.ifDriftOver, &o.utc, &o.rate, &o.onTime, &o.precise, &o.requireSynced}) {
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

    for (const QString& path : parser.values(o.targets)) {
        const QString wrong = readTargets(path, r);
        if (!wrong.isEmpty()) {
            return wrong;
        }
    }
    for (const QString& list : parser.values(o.port)) {
        const std::optional<std::vector<int>> ports = portList(list);
        if (!ports) {
            return QStringLiteral("--port takes port numbers %1 to %2, single or as ranges such as "
                                  "1,3,5-8, not \"%3\"")
                .arg(PortRules::FirstPort)
                .arg(LastPort)
                .arg(list);
        }
        for (const int port : *ports) {
            addTarget(r, Target{port, {}, {}});
        }
    }
    for (const QString& path : parser.values(o.device)) {
        if (path.isEmpty()) {
            return QStringLiteral("--device needs a path");
        }
        addTarget(r, Target{0, path, {}});
    }
    if (r.targets.empty()) {
        return QStringLiteral("no module given: use --port, --device or --targets");
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
    r.quiet = parser.isSet(o.quiet);
    r.utc = parser.isSet(o.utc);
    if (r.quiet && r.json) {
        return QStringLiteral("--quiet and --json do not go together");
    }

    r.precise = parser.isSet(o.precise);
    if (r.command == Command::ClockSet) {
        r.fromPc = parser.isSet(o.fromPc);
        r.requireSynced = parser.isSet(o.requireSynced);
        if (r.requireSynced && !r.fromPc) {
            return QStringLiteral("--require-synced goes with --from-pc");
        }
        const QString text = rest.join(u' ');
        if (r.fromPc == !rest.isEmpty()) {
            return QStringLiteral("clock set takes either TEXT or --from-pc");
        }
        if (parser.isSet(o.ifDriftOver)) {
            r.driftLimit = wholeNumber(parser.value(o.ifDriftOver));
            if (!r.driftLimit || !r.fromPc) {
                return QStringLiteral("--if-drift-over takes whole seconds and goes with "
                                      "--from-pc");
            }
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
    parser.setApplicationDescription(QString::fromLatin1(Description)
                                         .arg(QString::number(LastWindowPort), portsHelp(),
                                              exampleDevice(),
                                              QString::fromLatin1(StopSignals::Help)));
    // Not addHelpOption(): its --help-all would list the toolkit's options,
    // which this program does not take.
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays this help and exits."));
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    const Options o;
    const QList<QCommandLineOption> options{help,      version,   o.port,        o.device,
                                            o.targets, o.timeout, o.noVerify,    o.json,
                                            o.quiet,   o.fromPc,  o.ifDriftOver, o.requireSynced,
                                            o.utc,     o.precise, o.rate,        o.onTime};
    parser.addOptions(options.mid(2));
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("ports, clock get, clock set, schedule get or "
                                                "schedule set, as above."),
                                 QStringLiteral("command"));

    Parsed result;
    if (arguments.size() <= 1) {
        result.outcome = Parsed::Outcome::Usage;
        result.text = parser.helpText();
        return result;
    }
    if (!parser.parse(arguments)) {
        const QStringList unknown = parser.unknownOptionNames();
        result.text = unknown.isEmpty() ? parser.errorText() : unknownOption(unknown[0], options);
        return result;
    }
    if (parser.isSet(version) && !parser.positionalArguments().isEmpty()) {
        result.text = QStringLiteral("--version takes no command, not \"%1\"")
                          .arg(masked(parser.positionalArguments().join(u' ')));
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
