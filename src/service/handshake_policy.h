// Who may open a WebSocket connection: the origins of the pages let in, and, while the service
// listens on loopback, the Host a browser names (a defence against DNS rebinding).
#pragma once

#include <string>
#include <vector>

namespace lenvaro {

// The canonical form of one allowedOrigin setting: surrounding white space trimmed, ASCII
// letters in lower case (browsers send scheme and host so), and one trailing "/" dropped (an
// Origin header never has one). Empty when the text is no origin: it must be
// scheme://host[:port] with nothing after it, or the literal "null".
std::string canonicalOrigin(const std::string& setting);

struct HandshakePolicy {
    // When true, only an Origin header equal, byte for byte, to one of allowedOrigins is let in;
    // a handshake without Origin is refused. It stays true when every configured entry was
    // malformed: a broken allow-list refuses everyone rather than admitting everyone.
    bool originsRestricted = false;
    std::vector<std::string> allowedOrigins;  // canonical forms
    // When true, the Host header must name this computer's loopback (see isLoopbackHost).
    bool loopbackHostOnly = false;
};

// The policy for an endpoint on listenAddress (IPv4 text) with the allowedOrigin settings as
// written in the configuration. No settings: every origin. A loopback listenAddress: loopback
// Host names only.
HandshakePolicy makeHandshakePolicy(const std::vector<std::string>& allowedOriginSettings,
                                    const std::string& listenAddress);

// 127.0.0.0/8 written as four plain decimal numbers (no shorthand, no leading zeros).
bool isLoopbackAddress(const std::string& ipv4);

// A Host header naming the loopback: "localhost" (any case), a 127.x.x.x address, or "[::1]",
// each with an optional ":port". Anything else, an empty header included, is not. A browser
// sends the name from the page's URL, so a hostile name that resolves to 127.0.0.1 (DNS
// rebinding) still arrives as that name and is refused.
bool isLoopbackHost(const std::string& host);

enum class HandshakeVerdict { Accept, RefuseHost, RefuseOrigin };

// The decision on one handshake. origin is the Origin header, empty when there was none.
HandshakeVerdict judgeHandshake(const HandshakePolicy& policy, const std::string& host,
                                const std::string& origin);

// Whether a plain HTTP request may read the service's state (what GET /status tells beyond the
// name and version): the Host as for a handshake; a page of another origin only when that
// origin may connect. A request without Origin comes from the service's own pages (browsers
// send none for a same-origin GET) or from a program, which could connect anyway.
bool mayReadServiceState(const HandshakePolicy& policy, const std::string& host,
                         const std::string& origin);

}  // namespace lenvaro
