#pragma once

// NetBIOS node status (RFC 1002, 4.2.17 and 4.2.18): the question that asks an address for the
// names it has registered, and the host name taken from the answer. Where reverse DNS has no
// record, this is how a workgroup LAN names its computers.
//
// The name is the host's unique server (suffix 0x20) or, failing that, workstation (0x00) name,
// letters as the host sent them (the registered names are upper case by convention, and that
// is how such a host is shown elsewhere); the padding is dropped. A name is used only when it
// could be a computer name: printable ASCII without \ / : * ? " < > |, so bytes in an unknown
// OEM code page never become text.

#include <QString>

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::uint16_t NetbiosNamePort = 137;

// A name as NetBIOS puts it into a packet: padded to 15 bytes with pad, the suffix after it,
// each byte split into two letters from 'A', with its length before and an empty scope after
// (34 bytes).
std::string NetbiosEncodedName(std::string_view name, char pad, unsigned char suffix);

// The 50-byte node status request for the wildcard name "*", with this transaction id.
std::string NetbiosStatusRequest(std::uint16_t id);

struct TkxNetbiosStatus {
    std::uint16_t Id = 0; // the transaction id the answer carries
    QString Name;         // empty: the answer lists no usable unique name
};

// Reads a node status response. False for anything that is not a well-formed positive one;
// the packet is untrusted and every length in it is checked against its size.
bool ParseNetbiosStatus(std::string_view packet, TkxNetbiosStatus& out);
