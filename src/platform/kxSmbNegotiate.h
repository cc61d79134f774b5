#pragma once

// Recognises a server that speaks only SMB1, which the helpers' library refuses (it drops such
// a connection right after the negotiation). The probe connects to the SMB port and sends one
// bare SMB1 NEGOTIATE offering the dialects "NT LM 0.12", "SMB 2.002" and "SMB 2.???" (on port
// 139 after a NetBIOS session request to "*SMBSERVER"), reads the answer and closes: no
// session set-up, no user name, no password ever goes out. A server that can speak SMB 2
// answers in SMB 2; one that answers in SMB1 and picks an SMB1 dialect speaks nothing else.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

class TkxCancelToken;

enum class TkxSmbDialects { Unknown, Smb2, Smb1Only };

// The negotiate request with its 4-byte transport header.
std::string SmbNegotiateRequest();
// The server's first message (without the transport header); untrusted, every length checked.
TkxSmbDialects ParseSmbNegotiateReply(std::string_view message);

// Unknown when the server could not be reached, answered nothing within limit, or answered
// something else.
TkxSmbDialects ProbeSmbDialects(const std::string& host, std::uint16_t port,
                                std::chrono::milliseconds limit, const TkxCancelToken& cancel);
