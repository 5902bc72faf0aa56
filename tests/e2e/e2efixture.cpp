#include "e2efixture.h"

#include "polling.h"
#include "screenpixels.h"

#include <QDir>
#include <QFile>
#include <QTest>

using WindowLayout::Control;

QByteArray E2e::portRecord(int port) {
    return QByteArray::number(port) + QByteArray(9, ' ');
}

QByteArray E2e::hexCode(int value) {
    return QByteArray::number(value, 16).toUpper().rightJustified(2, '0');
}

QByteArray E2e::clockFieldFrom(const QByteArray& log) {
    return log.mid(1, 2) + '/' + log.mid(4, 2) + '/' + log.mid(7, 2) + ' ' + log.mid(10, 2) + ':' +
           log.mid(13, 2) + ':' + log.mid(16, 2);
}

quint32 E2e::seedFrom(const char* variable, quint32 fallback) {
    bool given = false;
    const uint fromEnvironment = qEnvironmentVariable(variable).toUInt(&given);
    const quint32 seed = given ? fromEnvironment : fallback;
    qInfo("seed %u (set %s to repeat another run)", seed, variable);
    return seed;
}

namespace {

constexpr int PortLinks = 9;
const QString PortFileName = QStringLiteral("COM-BAUD.txt");

QString linkName(int port) {
    return QStringLiteral("COM%1").arg(port);
}

} // namespace

E2eFixture::E2eFixture(XDisplay& display) : display_(display) {
    if (!root_.isValid()) {
        error_ = QStringLiteral("no temporary folder: %1").arg(root_.errorString());
        return;
    }
    const QDir root(root_.path());
    if (!root.mkdir(QStringLiteral("program")) || !root.mkdir(QStringLiteral("elsewhere")) ||
        !QFile::setPermissions(workingFolder(),
                               QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        error_ = QStringLiteral("cannot make folders in %1").arg(root_.path());
        return;
    }
    const QString program = programFolder() + QStringLiteral("/velkaro");
    if (!QFile::copy(QStringLiteral(VELKARO_PROGRAM), program)) {
        error_ =
            QStringLiteral("cannot copy %1 to %2").arg(QStringLiteral(VELKARO_PROGRAM), program);
        return;
    }
    for (int port = 1; port <= PortLinks; ++port) {
        if (!makeMissingPort(port)) {
            return;
        }
    }
}

bool E2eFixture::makeMissingPort(int port) {
    const QString link = programFolder() + QLatin1Char('/') + linkName(port);
    QFile::remove(link);
    if (!QFile::link(root_.filePath(QStringLiteral("no-such-device")), link)) {
        error_ = QStringLiteral("cannot make the link %1").arg(link);
        return false;
    }
    return true;
}

bool E2eFixture::linkPort(int port, const QString& devicePath) {
    const QString link = programFolder() + QLatin1Char('/') + linkName(port);
    QFile::remove(link);
    if (!QFile::link(devicePath, link)) {
        error_ = QStringLiteral("cannot make the link %1 to %2").arg(link, devicePath);
        return false;
    }
    return true;
}

E2eFixture::~E2eFixture() {
    program_.reset();
    modules_.clear();
}

QString E2eFixture::programFolder() const {
    return root_.filePath(QStringLiteral("program"));
}

QString E2eFixture::workingFolder() const {
    return root_.filePath(QStringLiteral("elsewhere"));
}

QString E2eFixture::portFilePath() const {
    return programFolder() + QLatin1Char('/') + PortFileName;
}

bool E2eFixture::writePortFile(const QByteArray& bytes) {
    QFile file(portFilePath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size()) {
        error_ = QStringLiteral("cannot write %1").arg(portFilePath());
        return false;
    }
    return true;
}

bool E2eFixture::portFileExists() const {
    return QFile::exists(portFilePath());
}

QByteArray E2eFixture::portFile() const {
    QFile file(portFilePath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

SimulatedModule* E2eFixture::startModule(int port, const QStringList& options) {
    auto module = std::make_unique<SimulatedModule>(
        programFolder() + QLatin1Char('/') + linkName(port),
        root_.filePath(linkName(port) + QStringLiteral(".jsonl")), options);
    if (!module->start()) {
        error_ = module->error();
        qWarning("%s", qPrintable(error_));
        return nullptr;
    }
    auto& slot = modules_[port];
    slot = std::move(module);
    return slot.get();
}

bool E2eFixture::stopModule(int port) {
    const auto module = modules_.find(port);
    if (module != modules_.end()) {
        module->second->stop();
    }
    return makeMissingPort(port);
}

ProgramRun* E2eFixture::startProgram(StandardError standardError) {
    program_.reset();
    program_ = std::make_unique<ProgramRun>(display_, programFolder() + QStringLiteral("/velkaro"),
                                            workingFolder());
    if (standardError == StandardError::Captured) {
        program_->captureStandardError();
    }
    if (!program_->start()) {
        error_ = program_->error();
        qWarning("%s", qPrintable(error_));
        return nullptr;
    }
    return program_.get();
}

ProgramRun* E2eFixture::startProgramOn(const SimulatedModule& module, StandardError standardError) {
    const int opened = module.transcript().count(QStringLiteral("opened"));
    ProgramRun* program = startProgram(standardError);
    return program != nullptr && waitForEvents(module, QStringLiteral("opened"), opened + 1)
               ? program
               : nullptr;
}

SimulatedModule* E2eFixture::startWithModule(const QStringList& options) {
    SimulatedModule* module = startModule(1, options);
    return module != nullptr && startProgramOn(*module) != nullptr ? module : nullptr;
}

bool E2eFixture::waitForEvents(const SimulatedModule& module, const QString& kind,
                               int atLeast) const {
    if (Polling::waitUntil([&] { return module.transcript().count(kind) >= atLeast; },
                           Polling::ExchangeTimeoutMs)) {
        return true;
    }
    qWarning("no %d \"%s\" events; %s", atLeast, qPrintable(kind),
             qPrintable(module.transcriptText()));
    return false;
}

bool E2eFixture::waitForLastEvent(const SimulatedModule& module, const QString& kind) const {
    if (Polling::waitUntil([&] { return module.transcript().lastEvent() == kind; },
                           Polling::ExchangeTimeoutMs)) {
        return true;
    }
    qWarning("the last event is not \"%s\"; %s", qPrintable(kind),
             qPrintable(module.transcriptText()));
    return false;
}

bool E2eFixture::clickForFrame(Control control, const SimulatedModule& module, int frames) {
    if (!program_->click(control)) {
        qWarning("%s", qPrintable(program_->error()));
        return false;
    }
    return waitForEvents(module, QStringLiteral("frame"), frames);
}

bool E2eFixture::switchPort(int port, const SimulatedModule& module) {
    const int opened = module.transcript().count(QStringLiteral("opened"));
    if (!program_->pickPort(port)) {
        qWarning("%s", qPrintable(program_->error()));
        return false;
    }
    return waitForEvents(module, QStringLiteral("opened"), opened + 1);
}

bool E2eFixture::waitForEnd(const SimulatedModule& module, std::uint32_t window) {
    if (!program_->waitForExit()) {
        qWarning("%s", qPrintable(program_->error()));
        return false;
    }
    if (!waitForLastEvent(module, QStringLiteral("closed"))) {
        return false;
    }
    if (!Polling::waitUntil([&] { return !display_.exists(window); }, Polling::ScreenTimeoutMs)) {
        qWarning("the window stayed");
        return false;
    }
    return true;
}

int E2eFixture::textPixels(Control control, int rightMargin) {
    const QImage picture = program_->grab(control);
    // Inside the sunken frame.
    const QRect inside = picture.rect().adjusted(3, 3, -3 - rightMargin, -3);
    return ScreenPixels::count(picture, ScreenPixels::isInk, inside);
}

bool E2eFixture::waitForText(Control control, bool shown, int rightMargin) {
    return Polling::waitUntil([&] { return (textPixels(control, rightMargin) > 0) == shown; },
                              Polling::ScreenTimeoutMs);
}

bool E2eFixture::waitUntilNotBusy() {
    return Polling::waitUntil(
        [&] {
            return ScreenPixels::count(program_->grab(Control::LabelWait),
                                       ScreenPixels::isBusyRed) == 0;
        },
        Polling::ScreenTimeoutMs);
}

void E2eSuite::initTestCase() {
    display_ = std::make_unique<XDisplay>();
    if (!display_->isOpen()) {
        QSKIP(qPrintable(display_->error()));
    }
}

void E2eSuite::init() {
    fixture_ = std::make_unique<E2eFixture>(*display_);
    QVERIFY2(fixture_->isReady(), qPrintable(fixture_->error()));
}

void E2eSuite::cleanup() {
    fixture_.reset();
}
