#include "devhub/relay_counters.h"

namespace larkspire {
namespace {

std::string Field(const char* name, const std::atomic<uint64_t>& value) {
  return std::string("\"") + name + "\":" + std::to_string(value.load(std::memory_order_relaxed));
}

}  // namespace

std::string ChannelCounters::ToJson() const {
  return "{" + Field("packetsToEdge", packetsToEdge) + "," + Field("bytesToEdge", bytesToEdge) +
         "," + Field("packetsFromEdge", packetsFromEdge) + "," +
         Field("bytesFromEdge", bytesFromEdge) + "}";
}

}  // namespace larkspire
