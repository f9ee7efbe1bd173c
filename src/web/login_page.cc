#include "web/pages.h"

namespace larkspire {

const std::string& StableLoginHtml() {
  static const std::string page = R"PAGE(<!doctype html>
<html><head><meta charset="utf-8"><title>LarkSpire Edge</title></head><body></body></html>
)PAGE";
  return page;
}

}  // namespace larkspire
