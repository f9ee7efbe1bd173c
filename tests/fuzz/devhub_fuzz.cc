// The development Hub's readers on any bytes, and reading back unchanged what the edge encodes.
#include <algorithm>

#include "devhub/http_message.h"
#include "devhub/json_object.h"
#include "support/fuzz_harness.h"
#include "util/json.h"
#include "util/text.h"

namespace larkspire {

void FuzzOne(const std::string& input) {
  if (auto members = ParseJsonObject(input)) {
    for (const auto& [key, raw] : *members) {
      FUZZ_CHECK(!raw.empty());
      JsonRawToString(raw);
      JsonRawToStringList(raw);
    }
  }
  const auto elements = ParseJsonArray(input);
  FUZZ_CHECK(!elements || std::ranges::find(*elements, "") == elements->end());
  HttpRequest request;
  if (ParseRequestLine(input, request)) {
    FUZZ_CHECK(!request.method.empty() && request.target.rfind('/', 0) == 0);
    FUZZ_CHECK(request.path.find('?') == std::string::npos);
    QueryParam(request.query, "secret");
    PercentDecode(request.path);
  }

  const auto [a, b] = SplitAtNul(input);
  FUZZ_CHECK(JsonRawToString(JsonString(b)) == b);
  FUZZ_CHECK((JsonRawToStringList(JsonArray({a, b})) == std::vector<std::string>{a, b}));
  const auto members = ParseJsonObject("{" + JsonString(a) + ": " + JsonString(b) + "}");
  FUZZ_CHECK(members && members->size() == 1 && members->count(a) == 1 &&
             members->at(a) == JsonString(b));
  FUZZ_CHECK(PercentDecode(UrlEncode(a)) == a);
  FUZZ_CHECK(QueryParam("x=1&secret=" + UrlEncode(b), "secret") == b);
}

}  // namespace larkspire
