#pragma once
// The settings file: which adapter to open and how to drive it (section
// "FDTI"), and the default folder for scenario files (section "Defaut"). The
// section and key names are the ones users already have in their files; they
// must not be "corrected".

#include <QString>

namespace tavrel {

// Every caller passes this bare name, so the file lives in the user's
// configuration folder (see resolveSettingsPath).
inline constexpr const char *kSettingsFile = "Tavrel.ini";

// Where a settings file name points:
//  - an empty name: beside the program, named after it with ".ini"
//    (/usr/bin/tavrel -> /usr/bin/tavrel.ini);
//  - a bare name without '/': in $XDG_CONFIG_HOME, or ~/.config when that is
//    unset, empty or not an absolute path;
//  - anything else (absolute, or with a folder) is used as it is.
QString resolveSettingsPath(const QString &fileName);
// Where kSettingsFile lives, as messages name it.
QString settingsFilePath();

// The value of `key` in `section` of the settings file; empty when missing.
QString ReadSetting(const QString &section, const QString &key, const QString &fileName);

// Stores the value; "1" when it was written, "0" when it could not be. A
// value the file would not take is kept for the session all the same (read
// back by ReadSetting), and the user is told once per file, without a box
// that waits, that the choices will not outlive the session.
QString WriteSetting(const QString &section, const QString &key, const QString &value, const QString &fileName);

// Reads the settings into shared(), writing the default of every missing or
// empty key back to the file so the user finds every setting there to edit.
// Also puts the link's run state back to idle (device closed, shutter
// released, no trace messages, 500 ms connection watch).
// An adapter value that is not a valid number is not used, the file is left
// alone, and the user is warned once per distinct bad value. A bad mode or
// mask gets its default for this run; a bad FDTINo leaves the adapter closed
// (DeviceIndex -1), since opening the first chip instead may cut the link of
// another device's USB-serial cable. FDTISerial, optional and never written,
// picks the adapter by serial number; FDTINo is then not used.
void LoadSettings();

// Forgets which bad values have been reported, and the choices kept for the
// session, so each test starts clean.
void resetSettingsWarnings();

// Whether `what` (a file, a key and its bad value) is reported for the first
// time: the settings are read again at each window load and each run, and
// one message per mistake is enough.
bool firstReport(const QString &what);

} // namespace tavrel
