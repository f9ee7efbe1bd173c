#pragma once

#include <string>
#include <vector>

namespace larkspire {

// The checks that keep other web sites out, on request text only (no I/O). A browser sends
// whatever Host a rebound DNS name gives it, so the Host decides whether the request was
// meant for this page at all; a cross-site form or fetch is told apart by its Origin and by
// a content type that a plain form cannot send.

// "host:port", lower-case, with `defaultPort` when `authority` names none; empty when it is
// not a host with an optional decimal port (an IPv6 address in brackets included).
std::string NormalizeAuthority(const std::string& authority, int defaultPort);

// Every "host:port" the page answers to: the loopback names, the bind address, the machine's
// own addresses (given when bound to 0.0.0.0) and the configured extra names, each with
// `port` unless an extra name carries its own.
std::vector<std::string> AllowedAuthorities(const std::string& bindAddress, int port,
                                            const std::vector<std::string>& ownAddresses,
                                            const std::vector<std::string>& extraNames);

// True when the head has exactly one Host header and it names one of `allowed`.
bool HasAllowedHost(const std::string& head, const std::vector<std::string>& allowed);

// True for a POST a browser only sends from this page itself: Content-Type
// application/json, and an Origin, when there is one, of http:// and the request's Host.
bool IsSameSiteJsonPost(const std::string& head);

}  // namespace larkspire
