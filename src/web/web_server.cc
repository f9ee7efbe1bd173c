#include "web/web_server.h"

// Placeholder until the web server lands: starts nothing.
namespace larkspire {

WebConfigServer::WebConfigServer(std::string configPath) : configPath_(std::move(configPath)) {}
WebConfigServer::~WebConfigServer() { Stop(); }
void WebConfigServer::Start() {}
void WebConfigServer::Stop() { stopping_ = true; }

}  // namespace larkspire
