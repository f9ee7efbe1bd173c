#include "hub/hub_connection.h"

#include "hub/tcp.h"

namespace larkspire {

std::unique_ptr<ByteStream> ConnectHub(const ParsedUrl& url, const HubTrust& trust) {
  UniqueFd socket(ConnectTcp(url.host, url.port));
  if (IsTlsScheme(url.scheme)) {
    return StartTlsClient(std::move(socket), url.host, url.port, trust);
  }
  return std::make_unique<SocketStream>(std::move(socket));
}

}  // namespace larkspire
