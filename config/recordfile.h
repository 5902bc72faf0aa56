#pragma once

#include "config/portfile.h"

#include <QFile>

// How the port number file is opened, the one place where the platform shows.
enum class RecordAccess { ReadWrite, ReadOnly };

// Opens the port number file at file.fileName(): ReadWrite creates it when missing (never through
// a link) and never truncates; ReadOnly only reads. Only a regular file with one name is used.
// Throws PortFileError saying why.
void openRecordFile(QFile& file, RecordAccess access);
