#include "e2efixture.h"

#include "polling.h"

#include <QDir>
#include <QFile>

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
        return nullptr;
    }
    return program_.get();
}

bool E2eFixture::waitForEvents(const SimulatedModule& module, const QString& kind,
                               int atLeast) const {
    return Polling::waitUntil([&] { return module.transcript().count(kind) >= atLeast; },
                              Polling::ExchangeTimeoutMs);
}
