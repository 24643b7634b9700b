#include "session/xdg_autostart.h"

#include "base/base_folders.h"
#include "base/file_calls.h"
#include "base/product.h"
#include "session/desktop_entry.h"
#include "session/workspace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

namespace {

constexpr qint64 LargestEntry = 64 * 1024; // a real entry is a few hundred bytes

QString value(const QHash<QString, QString>& group, const char* key)
{
    return DesktopEntry::unescape(group.value(QString::fromLatin1(key)));
}

bool isFlag(const QString& value, bool wanted)
{
    const QString flag = value.trimmed();
    return wanted ? flag == QLatin1String("true") || flag == QLatin1String("1")
                  : flag == QLatin1String("false") || flag == QLatin1String("0");
}

bool isExecutableFile(const QString& path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

// GLib looks for Exec's program before it expands "%%", and systemd's autostart generator
// unescapes a backslash twice: no way of writing a path with either character satisfies both.
bool isNameableInEntry(const QString& program)
{
    return !program.contains(u'%') && !program.contains(u'\\');
}

// Writes the whole file beside its final place and renames it over, so the desktop never reads
// half an entry and a broken file at that path is replaced rather than edited.
Expected<void> writeAtomically(const QString& path, const QByteArray& contents)
{
    const QString what = QStringLiteral("Cannot write %1").arg(path);
    const QFileInfo target(path);
    QByteArray temporary =
        QFile::encodeName(target.absolutePath() + QStringLiteral("/.") + target.fileName()) +
        ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        return FileError::fromErrno(errno, what);
    int error = writeAll(fd, contents);
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporary.constData(), QFile::encodeName(path).constData()) != 0)
        error = errno;
    if (error == 0)
        return {};
    ::unlink(temporary.constData());
    return FileError::fromErrno(error, what);
}

} // namespace

XdgAutostartService::XdgAutostartService(const BaseFolders& folders, QString executable,
                                         Workspace& workspace, ProgramStarter startProgram)
    : m_folders(folders), m_executable(std::move(executable)), m_workspace(workspace),
      m_startProgram(std::move(startProgram))
{}

QString XdgAutostartService::autostartFolder() const
{
    return m_folders.configHome() + QStringLiteral("/autostart");
}

QString XdgAutostartService::entryPath() const
{
    return autostartFolder() + QLatin1Char('/') + applicationId() + QStringLiteral(".desktop");
}

int XdgAutostartService::status()
{
    const QFileInfo info(entryPath());
    if (!info.exists() && !info.isSymLink())
        return NotRegistered;
    // Anything at our path that the desktop cannot start is "not found": a register replaces it.
    QFile file(entryPath());
    if (!file.open(QIODevice::ReadOnly) || file.size() > LargestEntry)
        return NotFound;
    const std::optional<QHash<QString, QString>> entry = DesktopEntry::mainGroup(file.readAll());
    if (!entry || value(*entry, "Type").trimmed() != QLatin1String("Application"))
        return NotFound;
    const std::optional<QStringList> exec = DesktopEntry::splitExec(value(*entry, "Exec"));
    if (!exec || exec->isEmpty() || exec->first().isEmpty())
        return NotFound;
    // Switched off in the desktop's settings: only the user can switch it on again there, even
    // when the program has moved since.
    if (isFlag(value(*entry, "Hidden"), true) ||
        isFlag(value(*entry, "X-GNOME-Autostart-enabled"), false))
        return RequiresApproval;
    if (!isNameableInEntry(exec->first()) || findProgram(exec->first()).isEmpty())
        return NotFound;
    const QString tryExec = value(*entry, "TryExec");
    if (!tryExec.isEmpty() && findProgram(tryExec).isEmpty())
        return NotFound; // desktops skip an entry whose TryExec program is missing
    return Enabled;
}

QByteArray XdgAutostartService::entryContents() const
{
    using namespace DesktopEntry;
    const QString exec = quoteExecArgument(m_executable) + QStringLiteral(" --autostart");
    // Quoted and escaped so that the path survives both GLib and systemd's generator; a path
    // neither can read is refused by registerItem().
    const QString text =
        QStringLiteral("[Desktop Entry]\n"
                       "Type=Application\n"
                       "Name=%3\n"
                       "Comment=Starts your Tarvessa Audio server when you sign in\n"
                       "Exec=%1\n"
                       "TryExec=%2\n"
                       "Icon=%4\n"
                       "Terminal=false\n"
                       "X-GNOME-Autostart-enabled=true\n")
            .arg(escape(exec), escape(m_executable), displayName(), applicationId());
    return text.toUtf8();
}

Expected<void> XdgAutostartService::registerItem()
{
    if (!isNameableInEntry(m_executable))
        return FileError{
            QStringLiteral("The desktop cannot start a program from %1 at login, because its "
                           "path holds \u201c%\u201d or \u201c\\\u201d. Move Tarvessa "
                           "Audio Server to another folder to use Start at Login.")
                .arg(m_executable)};
    if (Expected<void> made = makeFolderWithParents(autostartFolder()); !made.ok())
        return made;
    return writeAtomically(entryPath(), entryContents());
}

Expected<void> XdgAutostartService::unregisterItem()
{
    if (::unlink(QFile::encodeName(entryPath()).constData()) == 0)
        return {};
    const int error = errno;
    if (error == ENOENT)
        return {}; // already gone is what was asked for
    return FileError::fromErrno(error, QStringLiteral("Cannot remove %1").arg(entryPath()));
}

void XdgAutostartService::openSettings()
{
    const QStringList desktops = m_folders.environment()
                                     .value(QStringLiteral("XDG_CURRENT_DESKTOP"))
                                     .split(QLatin1Char(':'), Qt::SkipEmptyParts);
    struct Page
    {
        const char* desktop;
        const char* program;
        QStringList arguments;
    };
    // Plasma 5 may name its settings program systemsettings5.
    const Page pages[] = {{"KDE", "systemsettings", {QStringLiteral("kcm_autostart")}},
                          {"KDE", "systemsettings5", {QStringLiteral("kcm_autostart")}},
                          {"GNOME", "gnome-tweaks", {}}};
    for (const Page& page : pages) {
        if (!desktops.contains(QLatin1String(page.desktop), Qt::CaseInsensitive))
            continue;
        const QString program = findProgram(QString::fromLatin1(page.program));
        if (!program.isEmpty() && m_startProgram(program, page.arguments))
            return;
    }
    // No autostart page: the folder itself, where the entry can be removed or edited.
    static_cast<void>(makeFolderWithParents(autostartFolder())); // opened anyway if not made
    m_workspace.openFolder(autostartFolder());
}

bool XdgAutostartService::startDetached(const QString& program, const QStringList& arguments)
{
    return QProcess::startDetached(program, arguments);
}

QString XdgAutostartService::findProgram(const QString& name) const
{
    if (name.contains(QLatin1Char('/')))
        return QDir::isAbsolutePath(name) && isExecutableFile(name) ? name : QString();
    const QStringList path = m_folders.environment()
                                 .value(QStringLiteral("PATH"))
                                 .split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString& folder : path) {
        const QString candidate = folder + QLatin1Char('/') + name;
        if (isExecutableFile(candidate))
            return candidate;
    }
    return {};
}
