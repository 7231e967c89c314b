#pragma once
#include <QString>

// The name the user gave this computer (systemd-hostnamed's pretty host name), else the
// host name. Never blocks for long: a missing system bus answers at once.
QString computerName();
