#pragma once

#include <QString>

// Start at login through the freedesktop autostart mechanism: a desktop entry in
// $XDG_CONFIG_HOME/autostart (by default ~/.config/autostart) that desktops start at login.
class AutostartEntry
{
public:
    enum class Status {
        Absent,         // no entry
        Enabled,        // our entry, switched on
        SwitchedOff,    // our entry, but Hidden=true or X-GNOME-Autostart-enabled=false
        ForAnotherCopy, // written by a copy of this program elsewhere (moved, reinstalled)
        NotOurs,        // another program's entry under our name: never replaced or removed
    };

    AutostartEntry(QString entryPath, QString programPath);

    // The entry "corvalt-tray.desktop" in the user's autostart folder, for the running program.
    static AutostartEntry forThisProgram();

    Status status() const;
    // Each returns false on failure; errorString() then names the path and the reason. Another
    // program's entry is a failure too: it stays as it is.
    bool write();
    bool remove();
    const QString& errorString() const { return m_errorString; }

private:
    bool isOtherProgramsEntry() const;
    bool fail(const QString& what, const QString& path, const QString& reason);

    QString m_entryPath;
    QString m_programPath;
    QString m_errorString;
};
