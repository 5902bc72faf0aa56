#pragma once

#include "programrun.h"
#include "simulatedmodule.h"
#include "xdisplay.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <map>
#include <memory>

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
    ProgramRun& program() { return *program_; }

    // Waits until the module's transcript holds at least `atLeast` events of
    // `kind`.
    bool waitForEvents(const SimulatedModule& module, const QString& kind, int atLeast) const;

private:
    bool makeMissingPort(int port);

    XDisplay& display_;
    QTemporaryDir root_;
    std::map<int, std::unique_ptr<SimulatedModule>> modules_;
    std::unique_ptr<ProgramRun> program_;
    QString error_;
};
