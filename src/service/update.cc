#include "service/update.h"

// Placeholder until the self-update lands.
namespace larkspire {

int CompareVersionText(const std::string& a, const std::string& b) { return a.compare(b); }
void RunUpdateCheck(const std::string&) {}

}  // namespace larkspire
