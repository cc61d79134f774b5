#pragma once

// Translation between the UNC paths the records keep (\\host\share\dir) and the smb:// URLs
// the helper understands, and the checks on names that come from the network.

#include <QString>
#include <QUrl>

#include <string>
#include <string_view>

struct TkxSmbTarget {
    std::string Host; // UTF-8, as written after the two backslashes
    std::string Url;  // smb://host/share/dir with every component percent-encoded

    bool HasShare() const { return Url.find('/', 6) != std::string::npos; }
};

// False for anything that is not \\host[\share[\dir...]]: a host part that is no host name or
// address (IsValidHostPart), "." or ".." components, empty components inside the path, a URL
// longer than MaxUrlBytes (no server takes such a path, and the helper refuses requests that
// large). One trailing backslash is allowed.
constexpr std::size_t MaxUrlBytes = 32 * 1024;
bool UncToSmbTarget(const QString& unc, TkxSmbTarget& target);

// A host name or IPv4 address as a UNC path may carry it: dot-separated labels of letters,
// digits, '-' and '_', each at most 63 characters, 253 in all. A blank, '@', ':', '%' or any
// other character would make a URL name another host than the text shows.
bool IsValidHostPart(QStringView host);

// What a node's address may open on the desktop. Project files travel by mail and shares, so
// an address is data, never a command: only \\host\share\... with a valid host part becomes
// an smb:// URL. For anything else (a web or file URL, a local path, a host that is no host
// name) the URL is invalid and `reason` says why.
QUrl OpenableAddressUrl(const QString& address, QString* reason = nullptr);

// Whether a name from the network (a reverse lookup's) may stand for a server on the wire: a
// plain DNS host name, no address, nothing a URL would read as more than a host.
bool IsWireHostName(const QString& name);

// A name from the server as text: invalid UTF-8 becomes U+FFFD, control characters stay.
QString NameFromServer(std::string_view bytes);

// Whether a directory entry's name can become part of a path: not empty and free of path
// separators and NUL, at most MaxNameBytes long ("." and ".." pass; the walker drops them).
constexpr std::size_t MaxNameBytes = 4096;
bool IsUsableEntryName(std::string_view bytes);
