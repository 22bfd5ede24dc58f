// SPDX-License-Identifier: GPL-3.0-or-later
#include "record/data_file_io.h"

#include <utility>

namespace dmm {

namespace {

// A save's outcome: on failure the first line says what could not be done and
// the second why.
SaveOutcome SaveOutcomeOf(const QString& fileName, FileForm form, const FileOutput& file, bool ok) {
    SaveOutcome out;
    out.form = form;
    out.ok = ok;
    const std::string name = fileName.toStdString();
    if (ok) {
        if (form == FileForm::Text)
            out.message = std::string(kSavedText) + name + std::string(kSavedSuffix);
    } else {
        out.reason =
            file.error().empty() ? std::string("the file could not be written") : file.error();
        out.systemError = file.errorNumber();
        out.message = std::string(kSaveFailedText) + name + "\n" + out.reason;
    }
    return out;
}

}  // namespace

std::string ReadFailure(const ByteSource& source) {
    const std::string why = source.error();
    return why.empty() ? std::string(kCancelledText) : "cannot read: " + why;
}

LoadOutcome LoadFailure(FileForm form, std::string detail) {
    LoadOutcome out;
    out.form = form;
    out.message = kLoadFailedText;
    out.detail = std::move(detail);
    return out;
}

SaveOutcome WriteDataFile(const QString& fileName, FileForm form, const SaveOptions& options,
                          const std::function<bool(FileOutput&)>& write) {
    FileOutput file(fileName, options.waitForReader);
    const bool ok = file.open() && write(file) && file.commit();
    if (!ok)
        file.cancel();
    return SaveOutcomeOf(fileName, form, file, ok);
}

}  // namespace dmm
