#pragma once

#include <string>

#include "relay/packet_device.h"

namespace larkspire {

// Owns the /dev/net/tun descriptor attached to one layer-3 interface (no packet-information
// prefix). The interface exists only while the descriptor is open. Open and Close run on the
// service thread; the relay borrows fd for reads and writes.
class TunDevice {
 public:
  TunDevice() = default;
  TunDevice(const TunDevice&) = delete;
  TunDevice& operator=(const TunDevice&) = delete;
  ~TunDevice() { Close(); }

  // Throws "Failed to open /dev/net/tun: <reason>" or "TUNSETIFF failed: <reason>". With
  // `offloadHeader` every read and write carries an OffloadHeader in front of the packet:
  // writes may then hand the kernel many segments of one flow at once (TCP always, UDP where
  // the kernel knows UDP segmentation), and reads may bring up to 64 KiB of one flow, where
  // the kernel grants it. What the kernel grants is asked here and logged.
  void Open(const std::string& requestedName, bool offloadHeader = false);
  void Close();

  int fd() const { return fd_; }
  const std::string& name() const { return name_; }
  bool offloadHeader() const { return device_.offloadHeader; }
  // The descriptor with what it takes, for the relay to borrow.
  PacketDevice device() const { return device_; }

 private:
  int fd_ = -1;
  std::string name_;
  PacketDevice device_{-1};
};

}  // namespace larkspire
