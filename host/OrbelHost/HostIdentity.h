#pragma once
// The host's own credentials: a readable host id and a random key, both kept in user defaults.

#include <QString>

namespace HostIdentity {
// A slug of `name` in ASCII, at most 24 characters ("mac" when nothing is left), a hyphen and
// four random digits, e.g. "zoe-s-cafe-4821".
QString makeHostId(const QString& name);
// The slug part alone, for tests.
QString slug(const QString& name);
// 12 characters from an alphabet without look-alikes, from the system's secure random source.
QString makeKey();
}
