// SPDX-License-Identifier: GPL-3.0-or-later
#include "record/data_file_io.h"

#include <utility>

#include "decode/text_rules.h"
#include "record/record_logging.h"

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

void LogCutTexts(const RowData& row, const char* what, size_t number) {
    if (!lcFiles().isDebugEnabled())
        return;
    for (size_t i = 0; i < kFieldCount; ++i) {
        const Field f = Field(i);
        if (IsIntegerField(f) || !row.text(f))
            continue;
        const std::string_view text = *row.text(f);
        if (CutToChars(text, kTextFieldSize).size() < text.size()) {
            qCDebug(lcFiles).noquote().nospace()
                << what << ' ' << number << ": its "
                << QLatin1String(FieldName(f).data(), qsizetype(FieldName(f).size()))
                << " text is cut to " << kTextFieldSize
                << " characters: " << QString::fromUtf8(text.data(), qsizetype(text.size()));
        }
    }
}

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
