// The development Hub's strict readers on arbitrary bytes, and their agreement with what
// the edge writes: every literal from JsonString and every text from UrlEncode must read
// back unchanged on the Hub's side, or a device name or secret would arrive altered.
#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "devhub/http_message.h"
#include "devhub/json_object.h"
#include "support/fuzz_check.h"
#include "util/json.h"
#include "util/text.h"

namespace larkspire {
namespace {

void CheckStrictReaders(const std::string& text) {
  if (auto members = ParseJsonObject(text)) {
    for (const auto& [key, raw] : *members) {
      FUZZ_CHECK(!raw.empty());
      JsonRawToString(raw);
      JsonRawToStringList(raw);
    }
  }
  if (auto elements = ParseJsonArray(text)) {
    FUZZ_CHECK(std::find(elements->begin(), elements->end(), "") == elements->end());
  }
  HttpRequest request;
  if (ParseRequestLine(text, request)) {
    FUZZ_CHECK(!request.method.empty() && request.target.rfind('/', 0) == 0);
    FUZZ_CHECK(request.path.find('?') == std::string::npos);
    QueryParam(request.query, "secret");
    PercentDecode(request.path);
  }
}

void CheckAgreement(const std::string& a, const std::string& b) {
  FUZZ_CHECK(JsonRawToString(JsonString(a)) == a);
  FUZZ_CHECK((JsonRawToStringList(JsonArray({a, b})) == std::vector<std::string>{a, b}));
  const auto members = ParseJsonObject("{" + JsonString(a) + ": " + JsonString(b) + "}");
  FUZZ_CHECK(members && members->size() == 1 && members->count(a) == 1);
  FUZZ_CHECK(members->at(a) == JsonString(b));
  FUZZ_CHECK(PercentDecode(UrlEncode(a)) == a);
  FUZZ_CHECK(QueryParam("x=1&secret=" + UrlEncode(b), "secret") == b);
}

}  // namespace
}  // namespace larkspire

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  larkspire::CheckStrictReaders(input);
  const size_t split = input.find('\0');
  larkspire::CheckAgreement(input.substr(0, split),
                            split == std::string::npos ? "" : input.substr(split + 1));
  return 0;
}
