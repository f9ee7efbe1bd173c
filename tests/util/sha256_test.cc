#include "util/sha256.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <string>

#include "support/temp_dir.h"
#include "util/test_errors.h"

namespace larkspire {
namespace {

struct Vector {
  std::string message;
  const char* digest;
};

// The published test vectors, plus messages whose padding falls on each side of a block edge
// (55 bytes fit one block, 56 need a second).
const Vector kVectors[] = {
    {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
    {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
    {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
};

TEST(Sha256Test, KnownDigests) {
  for (const Vector& vector : kVectors) {
    SCOPED_TRACE(vector.message.size());
    EXPECT_EQ(Sha256Hex(vector.message), vector.digest);
  }
}

TEST(Sha256Test, PiecewiseUpdatesGiveTheSameDigest) {
  const std::string message(1000, 'x');
  const std::string whole = Sha256Hex(message);
  for (size_t piece : {1u, 3u, 63u, 64u, 65u, 127u}) {
    SCOPED_TRACE(piece);
    Sha256 hash;
    for (size_t offset = 0; offset < message.size(); offset += piece) {
      hash.Update(message.substr(offset, piece));
    }
    EXPECT_EQ(DigestHex(hash.Finish()), whole);
  }
}

TEST(Sha256Test, HashesAFileAndNamesAMissingOne) {
  TempDir dir;
  {
    std::ofstream out(dir / "package.tar.gz", std::ios::binary);
    out << std::string(200000, 'a') << std::string(1, '\0') << "tail";
  }
  EXPECT_EQ(Sha256FileHex(dir / "package.tar.gz"),
            Sha256Hex(std::string(200000, 'a') + std::string(1, '\0') + "tail"));
  EXPECT_NE(testing::ErrorOf<std::runtime_error>([&] { Sha256FileHex(dir / "missing"); })
                .find(dir / "missing"),
            std::string::npos);
}

}  // namespace
}  // namespace larkspire
