#pragma once

#include <string>

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
  // writes may then hand the kernel many segments of one flow at once. Reads stay plain
  // packets, since the device is never told it may hand over unfinished ones.
  void Open(const std::string& requestedName, bool offloadHeader = false);
  void Close();

  int fd() const { return fd_; }
  const std::string& name() const { return name_; }
  bool offloadHeader() const { return offloadHeader_; }

 private:
  int fd_ = -1;
  std::string name_;
  bool offloadHeader_ = false;
};

}  // namespace larkspire
