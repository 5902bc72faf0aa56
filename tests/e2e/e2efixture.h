#pragma once

#include "programrun.h"
#include "simulatedmodule.h"
#include "xdisplay.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <map>
#include <memory>

// Bytes and texts of the line, as the cases spell them.
namespace E2e {

inline const QByteArray Wake = "\x80";
inline const QByteArray CR = "\r";

// A port number record: the digit, then nine blanks.
QByteArray portRecord(int port);
// Two upper-case hexadecimal digits.
QByteArray hexCode(int value);
// The clock field that a clock reply in the receive log gives.
QByteArray clockFieldFrom(const QByteArray& log);
// A seed from the environment variable `variable`, or `fallback`; printed,
// so that a run can be repeated.
quint32 seedFrom(const char* variable, quint32 fallback);

} // namespace E2e

// The stage of one end-to-end case: a fresh program folder holding a copy of
// the real velkaro binary, simulated modules behind its COMn links, and the
// program run itself on the X display.
//
//   <temporary folder>/program/velkaro         the program under test
//   <temporary folder>/program/COM-BAUD.txt    its port number file
//   <temporary folder>/program/COM1 .. COM9    links: to a simulator's
//                                              terminal, or dangling (a
//                                              missing port), so the program
//                                              never reaches a real port
//   <temporary folder>/COMn.jsonl              the simulators' transcripts
//   <temporary folder>/elsewhere               the program's working and
//                                              runtime folder
//
// Everything is removed, and every process ended, when the fixture goes.
// Operations that wait or drive the program return false (or nullptr) on
// failure and leave the reason, with the transcript where it helps, as a
// warning in the test's output.
// Cases that drive the display must not run beside each other: CTest keeps
// them apart with the resource lock "x-display" (tests/e2e/CMakeLists.txt).
class E2eFixture {
public:
    explicit E2eFixture(XDisplay& display);
    ~E2eFixture();
    E2eFixture(const E2eFixture&) = delete;
    E2eFixture& operator=(const E2eFixture&) = delete;

    bool isReady() const { return error_.isEmpty(); }
    QString error() const { return error_; }
    XDisplay& display() { return display_; }

    QString programFolder() const;
    QString workingFolder() const;
    QString portFilePath() const;
    bool writePortFile(const QByteArray& bytes);
    bool portFileExists() const;
    QByteArray portFile() const;

    // Starts a simulator behind COM<port> with extra command-line options
    // (see velkaro-module-sim --help); nullptr on failure, see error().
    SimulatedModule* startModule(int port, const QStringList& options = QStringList());
    SimulatedModule& module(int port) { return *modules_.at(port); }
    // Ends the simulator behind COM<port> and leaves a missing port there.
    bool stopModule(int port);
    // Points COM<port> at a device of somebody else's, such as the terminal
    // of another fixture's simulator.
    bool linkPort(int port, const QString& devicePath);

    // What becomes of the program's standard error: passed on to the test's
    // own, or kept for ProgramRun::standardError().
    enum class StandardError { Forwarded, Captured };

    // Starts the program and waits for its window; nullptr on failure, see
    // error(). A run still going from before is killed first.
    ProgramRun* startProgram(StandardError standardError = StandardError::Forwarded);
    // Starts the program and waits until it has opened the port of `module`
    // once more.
    ProgramRun* startProgramOn(const SimulatedModule& module,
                               StandardError standardError = StandardError::Forwarded);
    // Starts a simulator with `options` behind COM1, then the program, and
    // waits until the program has opened it: the program's port when it has
    // no port number file or one naming port 1.
    SimulatedModule* startWithModule(const QStringList& options = QStringList());
    ProgramRun& program() { return *program_; }

    // Waits until the module's transcript holds at least `atLeast` events of
    // `kind`.
    bool waitForEvents(const SimulatedModule& module, const QString& kind, int atLeast) const;
    // Waits until the module's last event is of `kind`.
    bool waitForLastEvent(const SimulatedModule& module, const QString& kind) const;
    // Clicks a control and waits until the module has listened to `frames`
    // frames in all.
    bool clickForFrame(WindowLayout::Control control, const SimulatedModule& module, int frames);
    // Picks COM<port> in the port menu and waits until `module`, behind it,
    // has been opened once more.
    bool switchPort(int port, const SimulatedModule& module);
    // Waits until the program has ended by itself, `module` has been closed
    // and the window `window` is gone.
    bool waitForEnd(const SimulatedModule& module, std::uint32_t window);

    // The pixels of text inside a text box's sunken frame; `rightMargin`
    // leaves out the drop-down button of the rate list.
    int textPixels(WindowLayout::Control control, int rightMargin = 0);
    // Waits until a text box shows text (`shown`) or none.
    bool waitForText(WindowLayout::Control control, bool shown = true, int rightMargin = 0);
    // Waits until the busy label has gone.
    bool waitUntilNotBusy();

private:
    bool makeMissingPort(int port);

    XDisplay& display_;
    QTemporaryDir root_;
    std::map<int, std::unique_ptr<SimulatedModule>> modules_;
    std::unique_ptr<ProgramRun> program_;
    QString error_;
};

// What every end-to-end suite starts from: the X display, opened once (the
// suite is skipped without one), and a fresh fixture for each case.
class E2eSuite : public QObject {
    Q_OBJECT

protected slots:
    void initTestCase();
    void init();
    void cleanup();

protected:
    std::unique_ptr<XDisplay> display_;
    std::unique_ptr<E2eFixture> fixture_;
};
