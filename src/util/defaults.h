#pragma once

// Fixed values that several parts of the edge share, kept in one place so they cannot drift.

namespace larkspire {

// The overlay network whose clients reach the LAN through this edge.
inline constexpr const char* kOverlayNetwork = "10.250.0.0/16";
inline constexpr const char* kOverlayNetworkAddress = "10.250.0.0";
inline constexpr const char* kOverlayNetmask = "255.255.0.0";

// The edge's tunnel device, its own address on it and its MTU.
inline constexpr const char* kTunnelName = "larkspire0";
inline constexpr const char* kTunnelAddress = "100.79.255.1";
inline constexpr const char* kTunnelAddressCidr = "100.79.255.1/32";
inline constexpr int kTunnelMtu = 1400;

inline constexpr const char* kDefaultServerUrl = "http://hub.larkspire.local:31080";

// Set by the build from the project version.
inline constexpr const char* kEdgeVersion = LARKSPIRE_VERSION;

}  // namespace larkspire
