// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the file-based fuzz targets share: their own folder for the files
// the readers and the save path need (removed when the process ends), and
// the comparison of two tables row by row.

#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <cstdlib>
#include <string_view>

#include "record/reading_table.h"

namespace dmm::fuzz {

inline bool SameRows(const ReadingTable& a, const ReadingTable& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (!(a.row(i) == b.row(i)))
            return false;
    }
    return true;
}

inline QString WorkFile(const char* name) {
    // In memory where the system offers a folder there: a save's sync then
    // costs nothing.
    static const QString base =
        QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    static QTemporaryDir dir(base + QStringLiteral("/dmm-fuzz-XXXXXX"));
    if (!dir.isValid())
        std::abort();
    return dir.filePath(QString::fromLatin1(name));
}

inline void WriteFileOrAbort(const QString& path, std::string_view bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes.data(), qint64(bytes.size())) != qint64(bytes.size())) {
        std::abort();
    }
}

}  // namespace dmm::fuzz
