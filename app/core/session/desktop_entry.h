#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <optional>

// The desktop entry format, as far as the autostart entry needs it.
namespace DesktopEntry {
// The raw values of the [Desktop Entry] group, or nothing when the text is not a desktop entry
// file (not UTF-8, a line that is neither a comment, a group nor a key, no such group).
std::optional<QHash<QString, QString>> mainGroup(const QByteArray& contents);
// A string value's escapes (\s \n \t \r \\) undone; other backslashes stay for the Exec rules.
QString unescape(const QString& value);
QString escape(const QString& value);
// An Exec value (already unescaped) split into arguments: quotes removed, field codes dropped,
// %% made %. Nothing when a quote is left open.
std::optional<QStringList> splitExec(const QString& exec);
// One Exec argument, double-quoted so that any path survives (before escape()).
QString quoteExecArgument(const QString& argument);
} // namespace DesktopEntry
