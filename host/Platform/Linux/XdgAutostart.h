#pragma once
// Starting the host with the user's session: a desktop entry in the XDG autostart folder
// ($XDG_CONFIG_HOME/autostart, normally ~/.config/autostart). Its presence is the state; an
// entry the user hid ("Hidden=true", or GNOME's switch off) counts as off. It starts what the
// installed menu entry starts (the package's or the per-user install's), so it survives
// updates; a copy with no menu entry starts itself.

#include "Platform/LoginItem.h"

#include <QString>

class XdgAutostart : public LoginItem {
public:
    // `command` is the program to start (by default what the installed menu entry starts, or
    // else this executable).
    explicit XdgAutostart(QString command = {});

    bool isEnabled() override;
    // Written in full or not at all; false (and logged) when the folder or file cannot be written.
    bool setEnabled(bool enabled) override;

    QString path() const;
    // The Exec value for `program`, quoted as desktop entries require.
    static QString execLine(const QString& program);
    // The Exec value of the installed menu entry (applications/velquin-host.desktop in the XDG
    // data folders), when the program it names is there to start.
    static QString installedExecLine();

    static inline const QString kFileName = QStringLiteral("velquin-host.desktop");

private:
    QString exec_;
};
