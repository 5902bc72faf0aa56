#include "simoptions.h"

#include <QCommandLineParser>

#include <cmath>
#include <limits>

namespace ModuleSim {

namespace {

const char* const Description =
    R"(A stand-in for the Velkaro module on a pseudo-terminal, for trying the program
and driving tests without hardware. On start it prints the path of the
terminal device (one line) on standard output; open that path, or the --link
path, at 9600,n,8,2.

The module sleeps until it receives the wake byte 0x80. A frame is the bytes up
to and including a carriage return (0x0D). A frame that comes without a wake
byte before it, or whose first byte comes sooner than 0.9 s after the wake
byte, is ignored. After each frame the module sleeps again.

Frames and answers (answer positions counted from 1):
  "H" CR             clock read: "T" yy/mm/dd hh:mm:ss CR
                     (positions 2-18 hold the clock text)
  "B00" CR           schedule read: "SLOTS" rate "," on-time CR, e.g. "SLOTS3,64"
                     CR (position 6 = rate digit 0-6, positions 8-9 = on-time as
                     two upper-case hexadecimal digits)
  "h" clock CR       clock set; exactly 17 characters "yy/mm/dd hh:mm:ss" with a
                     real date (year 20yy) and time: "OK" CR, else "NAK" CR
  "f" RR TT CR       schedule set; RR rate code "00".."06", TT on-time code
                     "01".."F0", upper-case hexadecimal: "OK" CR, else "NAK" CR
  anything else      "NAK" CR
The clock starts at the computer's local time (or --clock, or the local time
plus --clock-offset) and runs on by the time that passes, whatever the
computer's clock or its zone does afterwards.

Transcript (--transcript): one JSON object per line, written and flushed as it
happens. Every line has "t", seconds of the machine's monotonic clock
(CLOCK_MONOTONIC, the same for every process). The other fields:
  {"dir":"rx","hex":"80"}        bytes received in one read, as hexadecimal
  {"dir":"tx","hex":"54..0d"}    bytes sent in one write, as hexadecimal
  {"event":"opened","speed":9600,"data":8,"parity":"n","stop":2}
                                 the program opened the port; its line settings
                                 (parity n, e, o, m or s) read just after it. A
                                 Linux pseudo-terminal keeps the speed and stop
                                 bits but always reports 8 data bits, parity n
  {"event":"closed"}             the program closed the port
  {"event":"frame","text":"H\r","accepted":true,"reason":"clock read"}
                                 a frame the module listened to; reasons:
                                 clock read, schedule read, clock set, schedule
                                 set, bad clock text, bad schedule codes,
                                 unknown command
  {"event":"ignored","reason":"no wake byte","text":"H\r"}
                                 a frame the module did not hear; reasons: no
                                 wake byte, too soon after wake byte (0.412 s),
                                 cut off by wake byte
  {"event":"clock","value":"26/01/05 09:07:03","ahead":0.021}
                                 the clock was set; "ahead" is how many seconds
                                 the new clock is ahead of the computer's local
                                 time when the frame's CR arrived (negative:
                                 behind), to the millisecond
  {"event":"schedule","rate":3,"on_time":100}    the schedule was set
  {"event":"hangup"}             --hangup-after closed the line
Frame texts are the bytes as Latin-1 characters.

Exit status: 0 on SIGTERM, SIGINT or after --hangup-after; 1 when the
terminal, link or transcript cannot be set up; 2 for a bad command line.)";

struct Range {
    qint64 low;
    qint64 high;
};

// Reads the value of `name` as a whole number within `range`; on failure
// leaves a message in `error`.
qint64 wholeNumber(const QCommandLineParser& parser, const QString& name, Range range,
                   QString& error) {
    const QString text = parser.value(name);
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (!ok || value < range.low || value > range.high) {
        error = QStringLiteral("--%1 must be a whole number from %2 to %3, not \"%4\"")
                    .arg(name)
                    .arg(range.low)
                    .arg(range.high)
                    .arg(text);
        return range.low;
    }
    return value;
}

void addOptions(QCommandLineParser& parser) {
    parser.setApplicationDescription(QString::fromLatin1(Description));
    parser.addHelpOption();
    parser.addOptions({
        {"link",
         "Make a symbolic link PATH to the terminal device (a stale link there is "
         "replaced; the link is removed on exit).",
         "PATH"},
        {"transcript", "Write the transcript (see above) to FILE.", "FILE"},
        {"clock", "Start the module's clock at TIME, \"yy/mm/dd hh:mm:ss\".", "TIME"},
        {"clock-offset",
         "Start the module's clock SECONDS (-86400 to 86400, to the millisecond, e.g. 0.437) "
         "ahead of the computer's local time; negative: behind.",
         "SECONDS"},
        {"drift",
         "Run the module's clock PPM parts per million fast (-1000 to 1000; negative: "
         "slow).",
         "PPM"},
        {"frozen", "Keep the module's clock from advancing."},
        {"rate", "Schedule rate index N, 0 to 6 (default 3).", "N"},
        {"on-time", "Schedule on-time N seconds, 1 to 240 (default 100).", "N"},
        {"no-ack", "Answer sets and refused frames with nothing instead of OK/NAK."},
        {"fault",
         "Misbehave: silent (never answer), garbage (each answer replaced by random "
         "printable bytes of the same length plus CR), lowercase (schedule answer with "
         "lower-case hexadecimal digits), no-cr (answers without their CR), control (each "
         "answer after the bytes NUL, ESC M and ESC c), ignore-clock-set (a clock set is "
         "answered OK but leaves the clock as it was), other-on-time (a schedule set is "
         "answered OK but stores the next on-time, 240 as 1).",
         "MODE"},
        {"set-error",
         "Store each clock set MS milliseconds off the time it names (positive: ahead; "
         "-86400000 to 86400000).",
         "MS"},
        {"delay", "Wait MS milliseconds before answering (0 to 600000).", "MS"},
        {"flood",
         "Answer every frame listened to with N random bytes of any value (1 to 1000000) "
         "instead of the answer; not with --fault.",
         "N"},
        {"seed", "Seed S (0 to 4294967295) for garbage and flood bytes, to repeat them.", "S"},
        {"hangup-after",
         "Close the line after N received bytes (1 to 2147483647), record \"hangup\" and "
         "exit 0.",
         "N"},
    });
}

std::optional<Fault> faultNamed(const QString& name) {
    if (name == QLatin1String("silent")) {
        return Fault::Silent;
    }
    if (name == QLatin1String("garbage")) {
        return Fault::Garbage;
    }
    if (name == QLatin1String("lowercase")) {
        return Fault::Lowercase;
    }
    if (name == QLatin1String("no-cr")) {
        return Fault::NoCr;
    }
    if (name == QLatin1String("control")) {
        return Fault::Control;
    }
    if (name == QLatin1String("ignore-clock-set")) {
        return Fault::IgnoreClockSet;
    }
    if (name == QLatin1String("other-on-time")) {
        return Fault::OtherOnTime;
    }
    return std::nullopt;
}

} // namespace

CommandLine parseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    addOptions(parser);
    CommandLine result;
    if (!parser.parse(arguments)) {
        result.error = parser.errorText();
        return result;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        result.helpRequested = true;
        return result;
    }
    if (!parser.positionalArguments().isEmpty()) {
        result.error = QStringLiteral("unexpected argument \"%1\"")
                           .arg(parser.positionalArguments().constFirst());
        return result;
    }

    Options& options = result.options;
    QString& error = result.error;
    options.linkPath = parser.value(QStringLiteral("link"));
    options.transcriptPath = parser.value(QStringLiteral("transcript"));
    if (parser.isSet(QStringLiteral("link")) && options.linkPath.isEmpty()) {
        error = QStringLiteral("--link needs a path");
    }
    if (parser.isSet(QStringLiteral("transcript")) && options.transcriptPath.isEmpty()) {
        error = QStringLiteral("--transcript needs a file name");
    }
    if (parser.isSet(QStringLiteral("clock"))) {
        const QString text = parser.value(QStringLiteral("clock"));
        options.clockStartWallMs = parseClock(text.toLatin1());
        if (!options.clockStartWallMs) {
            error = QStringLiteral("--clock must be \"yy/mm/dd hh:mm:ss\" with a real date and "
                                   "time, not \"%1\"")
                        .arg(text);
        }
    }
    if (parser.isSet(QStringLiteral("clock-offset"))) {
        const QString text = parser.value(QStringLiteral("clock-offset"));
        bool ok = false;
        const double seconds = text.toDouble(&ok);
        if (!ok || !(std::abs(seconds) <= 86400) || parser.isSet(QStringLiteral("clock"))) {
            error = QStringLiteral("--clock-offset takes seconds from -86400 to 86400, without "
                                   "--clock, not \"%1\"")
                        .arg(text);
        } else {
            options.clockOffsetMs = std::llround(seconds * 1000);
        }
    }
    if (parser.isSet(QStringLiteral("drift"))) {
        const QString text = parser.value(QStringLiteral("drift"));
        bool ok = false;
        options.driftPpm = text.toDouble(&ok);
        if (!ok || !(std::abs(options.driftPpm) <= 1000)) {
            error = QStringLiteral("--drift takes parts per million from -1000 to 1000, not \"%1\"")
                        .arg(text);
        }
    }
    options.frozen = parser.isSet(QStringLiteral("frozen"));
    if (parser.isSet(QStringLiteral("rate"))) {
        options.schedule.rate = int(wholeNumber(parser, QStringLiteral("rate"), {0, 6}, error));
    }
    if (parser.isSet(QStringLiteral("on-time"))) {
        options.schedule.onTime =
            int(wholeNumber(parser, QStringLiteral("on-time"), {1, 240}, error));
    }
    options.behaviour.ack = !parser.isSet(QStringLiteral("no-ack"));
    if (parser.isSet(QStringLiteral("fault"))) {
        const QString name = parser.value(QStringLiteral("fault"));
        const std::optional<Fault> fault = faultNamed(name);
        if (fault) {
            options.behaviour.fault = *fault;
        } else {
            error = QStringLiteral("--fault must be silent, garbage, lowercase, no-cr, control, "
                                   "ignore-clock-set or other-on-time, not \"%1\"")
                        .arg(name);
        }
    }
    if (parser.isSet(QStringLiteral("set-error"))) {
        options.behaviour.setErrorMs =
            wholeNumber(parser, QStringLiteral("set-error"), {-86400000, 86400000}, error);
    }
    if (parser.isSet(QStringLiteral("delay"))) {
        options.delayMs = int(wholeNumber(parser, QStringLiteral("delay"), {0, 600000}, error));
    }
    if (parser.isSet(QStringLiteral("flood"))) {
        options.behaviour.floodSize =
            int(wholeNumber(parser, QStringLiteral("flood"), {1, 1000000}, error));
        if (parser.isSet(QStringLiteral("fault"))) {
            error = QStringLiteral("--flood cannot be combined with --fault");
        }
    }
    if (parser.isSet(QStringLiteral("seed"))) {
        options.behaviour.seed = quint32(wholeNumber(
            parser, QStringLiteral("seed"), {0, std::numeric_limits<quint32>::max()}, error));
        options.seedGiven = true;
    }
    if (parser.isSet(QStringLiteral("hangup-after"))) {
        options.hangupAfter = wholeNumber(parser, QStringLiteral("hangup-after"),
                                          {1, std::numeric_limits<int>::max()}, error);
    }
    return result;
}

QString helpText() {
    QCommandLineParser parser;
    addOptions(parser);
    return parser.helpText();
}

} // namespace ModuleSim
