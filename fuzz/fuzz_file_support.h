#pragma once
// The fuzz targets' own folder for the files that the file-based readers and
// the save path need; removed when the process ends.

#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <cstdlib>
#include <string_view>

namespace dmm::fuzz {

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
