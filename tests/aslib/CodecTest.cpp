#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

#include "aslib/ASChunkReader.h"
#include "aslib/ASDeflate.h"
#include "aslib/ASInflate.h"
#include "tests/ZlibReference.h"

namespace zel {
namespace {

using test::ZlibCompress;

// Feeds `input` in pieces of `piece` bytes, carrying unconsumed bytes over like the response reader.
struct ChunkRun {
  std::string output;
  int64_t lastResult = 0;
  ASChunkReader::State state = ASChunkReader::kSizeLine;
  std::string rest;
};

ChunkRun Dechunk(const std::string& input, size_t piece) {
  ASChunkReader reader;
  ChunkRun run;
  std::string pending;
  size_t at = 0;
  while (at < input.size() || !pending.empty()) {
    size_t take = std::min(piece, input.size() - at);
    pending.append(input, at, take);
    at += take;
    if (pending.empty()) break;
    int64_t left = reader.feed(pending.data(), int64_t(pending.size()));
    run.lastResult = left;
    run.output.append(reader.output(), size_t(reader.outputCount()));
    reader.clearOutput();
    if (left < 0 || reader.state() == ASChunkReader::kFinished) {
      if (left > 0) run.rest = pending.substr(pending.size() - size_t(left));
      break;
    }
    bool progress = size_t(left) < pending.size();
    pending.erase(0, pending.size() - size_t(left));
    if (take == 0 && !progress) break;  // waiting for bytes that will never come
  }
  run.state = reader.state();
  return run;
}

TEST(ASChunkReader, DecodesInPiecesOfEverySize) {
  const std::string body = "5\r\nhello\r\n0\r\n\r\n";
  for (size_t piece = 1; piece <= body.size(); ++piece) {
    ChunkRun run = Dechunk(body, piece);
    EXPECT_EQ(run.output, "hello") << piece;
    EXPECT_EQ(run.state, ASChunkReader::kFinished) << piece;
  }
  std::string many;
  std::string expected;
  std::mt19937 rng(5);
  for (int i = 0; i < 300; ++i) {
    std::string chunk(rng() % 3000 + 1, char('a' + i % 26));
    char line[32];
    snprintf(line, sizeof line, i % 2 ? "%zx\r\n" : "%zX;ext=1\r\n", chunk.size());
    many += line + chunk + "\r\n";
    expected += chunk;
  }
  many += "0\r\n\r\nNEXT";
  for (size_t piece : {1u, 2u, 3u, 17u, 1000u, 70000u, 1u << 20}) {
    ChunkRun run = Dechunk(many, piece);
    EXPECT_EQ(run.output, expected) << piece;
    EXPECT_EQ(run.state, ASChunkReader::kFinished);
  }
  ChunkRun whole = Dechunk(many, 1 << 20);
  EXPECT_EQ(whole.rest, "NEXT") << "bytes after the last chunk are left unconsumed";
}

TEST(ASChunkReader, FailsOnBrokenFraming) {
  struct Case {
    const char* name;
    std::string input;
  };
  const Case cases[] = {
      {"size line longer than 14 characters", std::string("000000000000005\r\nhello\r\n0\r\n\r\n")},
      {"no CR LF after the data", std::string("5\r\nhelloXX0\r\n\r\n")},
      {"a trailer after the last chunk", std::string("0\r\nX-Trailer: 1\r\n\r\n")},
  };
  for (const auto& c : cases) {
    ChunkRun run = Dechunk(c.input, c.input.size());
    EXPECT_EQ(run.lastResult, -1) << c.name;
    EXPECT_EQ(run.state, ASChunkReader::kFailed) << c.name;
  }
  // The long size line fails as soon as 16 of its bytes are there, not earlier.
  ASChunkReader reader;
  EXPECT_EQ(reader.feed("000000000000005", 15), 15);
  EXPECT_EQ(reader.feed("000000000000005\r", 16), -1);
  EXPECT_EQ(reader.feed("0\r\n\r\n", 5), -1) << "a failed reader stays failed";
  ASChunkReader finished;
  EXPECT_EQ(finished.feed("0\r\n\r\n", 5), 0);
  EXPECT_EQ(finished.feed("abc", 3), 3);
  EXPECT_EQ(finished.feed(nullptr, 3), -1);
}

TEST(ASChunkReader, StopsWhenItsOutputBlockIsFull) {
  std::string chunk(100000, 'x');
  char line[32];
  snprintf(line, sizeof line, "%zx\r\n", chunk.size());
  std::string body = line + chunk + "\r\n0\r\n\r\n";
  ASChunkReader reader;
  // The size line counts toward the room: 7 framing bytes, then 65529 data bytes.
  int64_t left = reader.feed(body.data(), int64_t(body.size()));
  EXPECT_EQ(left, int64_t(body.size()) - ASChunkReader::kOutputCapacity);
  EXPECT_EQ(reader.outputCount(), ASChunkReader::kOutputCapacity - 7);
  const char* rest = body.data() + (int64_t(body.size()) - left);
  EXPECT_EQ(reader.feed(rest, left), left - 7) << "only as much as the block still holds";
  EXPECT_EQ(reader.outputCount(), ASChunkReader::kOutputCapacity);
  EXPECT_EQ(reader.feed(rest + 7, left - 7), left - 7) << "no room: nothing consumed";
  ChunkRun run = Dechunk(body, body.size());
  EXPECT_EQ(run.output, chunk);
  EXPECT_EQ(run.state, ASChunkReader::kFinished);
}

std::string Random(size_t n, uint32_t seed, int alphabet) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = char('A' + rng() % alphabet);
  return s;
}

TEST(ASInflate, AnySplitInflatesToTheSameBytes) {
  const std::string data = Random(300000, 1, 4);
  for (auto [format, bits] : {std::pair{1, 31}, {3, -15}, {2, 15}}) {
    const std::string packed = ZlibCompress(data, bits);
    std::mt19937 rng(format);
    for (int round = 0; round < 5; ++round) {
      ASInflate inflater(format);
      ASVariableBuffer out;
      size_t at = 0;
      while (at < packed.size()) {
        size_t n = std::min<size_t>(rng() % 5000 + 1, packed.size() - at);
        ASSERT_TRUE(inflater.inflateInto(packed.data() + at, int64_t(n), &out));
        at += n;
      }
      EXPECT_EQ(out.unreadBytes(), data) << format;
    }
  }
}

TEST(ASInflate, CorruptDataFails) {
  std::string packed = ZlibCompress(Random(10000, 2, 26), 31);
  packed[20] ^= 0x55;
  packed[21] ^= 0x55;
  ASInflate inflater(1);
  ASVariableBuffer out;
  EXPECT_FALSE(inflater.inflateInto(packed.data(), int64_t(packed.size()), &out));
  EXPECT_FALSE(ASInflate(1).inflateInto(nullptr, 4, &out));
  EXPECT_FALSE(ASInflate(3).inflateInto("x", 1, nullptr));
  ASInflate wrongFormat(1);
  const std::string raw = ZlibCompress("plain", -15);
  EXPECT_FALSE(wrongFormat.inflateInto(raw.data(), int64_t(raw.size()), &out));
}

TEST(ASDeflate, RoundTripsThroughZlibInEveryFormatAndBlockSize) {
  const std::string data = Random(500000, 9, 3);
  for (auto [format, bits] : {std::pair{1, 31}, {3, -15}, {0, 15}}) {
    for (int64_t block : {int64_t(37), int64_t(32768), int64_t(65536)}) {
      ASVariableBuffer in, packed;
      in.append(data);
      ASSERT_TRUE(DeflateBuffer(format, &in, &packed, block));
      EXPECT_EQ(in.unread(), 0);
      std::string bytes = packed.unreadBytes();
      // zlib's own inflater reads it back.
      z_stream z{};
      inflateInit2(&z, bits);
      std::string back(data.size() + 10, '\0');
      z.next_in = reinterpret_cast<Bytef*>(bytes.data());
      z.avail_in = uInt(bytes.size());
      z.next_out = reinterpret_cast<Bytef*>(back.data());
      z.avail_out = uInt(back.size());
      EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END) << format << " " << block;
      back.resize(z.total_out);
      inflateEnd(&z);
      EXPECT_EQ(back, data);
    }
  }
  ASVariableBuffer empty, packed;
  ASSERT_TRUE(DeflateBuffer(1, &empty, &packed, 65536));
  ASInflate inflater(1);
  ASVariableBuffer back;
  std::string bytes = packed.unreadBytes();
  EXPECT_TRUE(inflater.inflateInto(bytes.data(), int64_t(bytes.size()), &back));
  EXPECT_EQ(back.length(), 0);
}

}  // namespace
}  // namespace zel
