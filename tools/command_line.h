// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the command-line tools share in reading their options: an option
// described for --help, --help and --version themselves, the help text with
// the program named by its name, and the parser's complaint as one clause.

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>
#include <string>

namespace dmm::tools {

inline QCommandLineOption Option(const char* name, const char* help, const char* value = nullptr) {
    return value ? QCommandLineOption(QString::fromLatin1(name), QString::fromUtf8(help),
                                      QString::fromLatin1(value))
                 : QCommandLineOption(QString::fromLatin1(name), QString::fromUtf8(help));
}

struct StandardOptions {
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")},
                            QStringLiteral("Show this help and exit.")};
    QCommandLineOption version{QStringLiteral("version"),
                               QStringLiteral("Show the version and exit.")};
};

// The help text with the usage line naming the program, not the path it was
// started by (or the placeholder the parser uses without an application).
inline QString HelpText(const QCommandLineParser& parser, const QString& program,
                        const QStringList& arguments) {
    QString text = parser.helpText();
    const qsizetype lineEnd = text.indexOf(QLatin1Char('\n'));
    for (const QString& shown : {QStringLiteral("<executable_name>"),
                                 arguments.isEmpty() ? QString() : arguments.first()}) {
        const qsizetype at = shown.isEmpty() ? -1 : text.indexOf(shown);
        if (at >= 0 && at < lineEnd) {
            text.replace(at, shown.size(), program);
            break;
        }
    }
    return text;
}

// The parser's complaint without its closing full stop.
inline std::string ParseErrorText(const QCommandLineParser& parser) {
    QString error = parser.errorText();
    if (error.endsWith(QLatin1Char('.')))
        error.chop(1);
    return error.toStdString();
}

}  // namespace dmm::tools
