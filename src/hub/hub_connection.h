#pragma once

#include <memory>

#include "hub/byte_stream.h"
#include "hub/tls_session.h"
#include "hub/url.h"

namespace larkspire {

// The one way to the Hub: a TCP connection with 8-second time-outs (ConnectTcp), inside TLS
// verified against `trust` when the URL's scheme is https or wss, plain otherwise. Throws the
// errors of ConnectTcp and StartTlsClient.
std::unique_ptr<ByteStream> ConnectHub(const ParsedUrl& url, const HubTrust& trust);

}  // namespace larkspire
