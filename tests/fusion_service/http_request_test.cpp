#include "fusion_service/http_request.h"

#include <gtest/gtest.h>

namespace quorv::fusion_service::http {
namespace {

Limits small_limits() {
  Limits limits;
  limits.max_head_bytes = 256;
  limits.max_header_count = 4;
  limits.max_body_bytes = 100;
  return limits;
}

int refusal_status(const std::string& bytes) {
  try {
    parse_head(bytes, small_limits());
  } catch (const Refusal& refusal) {
    return refusal.status;
  }
  return 0;
}

TEST(FusionService_HttpHead, ReadsWhatTheServerNeedsAndWaitsForTheEnd) {
  const std::string request =
      "\r\nPOST /blend_info.php?x=1 HTTP/1.1\r\nauthorization:  Bearer t \r\nContent-Length: 5\r\n"
      "Connection: Close\r\n\r\n{}   ";
  const auto parsed = parse_head(request, small_limits());
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->first.method, "POST");
  EXPECT_EQ(parsed->first.path, "/blend_info.php");
  EXPECT_EQ(parsed->first.authorization, "Bearer t");
  EXPECT_EQ(parsed->first.content_length, 5u);
  EXPECT_FALSE(parsed->first.keep_alive);
  EXPECT_EQ(request.substr(parsed->second), "{}   ");
  // Incomplete heads wait; bare line feeds end lines too.
  EXPECT_FALSE(parse_head(request.substr(0, request.find("\r\n\r\n") + 2), small_limits()));
  const auto http10 = parse_head("GET / HTTP/1.0\nConnection: keep-alive\n\n", small_limits());
  ASSERT_TRUE(http10);
  EXPECT_TRUE(http10->first.http10 && http10->first.keep_alive && !http10->first.has_body());
  EXPECT_TRUE(parse_head("GET / HTTP/1.1\r\nExpect: 100-continue\r\n\r\n", small_limits())->first.expects_continue);
}

TEST(FusionService_HttpHead, RefusesOversizedAndMalformedHeadsWhileReading) {
  // Size limits apply before the head is complete.
  EXPECT_EQ(refusal_status("POST /" + std::string(300, 'a')), 431);
  EXPECT_EQ(refusal_status("POST / HTTP/1.1\r\n" + std::string(300, 'a')), 431);
  EXPECT_EQ(refusal_status("POST / HTTP/1.1\r\nA: 1\r\nB: 1\r\nC: 1\r\nD: 1\r\nE: 1\r\n"), 431);
  // The body's size and encoding wait for the token check.
  EXPECT_EQ(refusal_status("POST / HTTP/1.1\r\nContent-Length: 101\r\n\r\n"), 0);
  EXPECT_TRUE(parse_head("POST / HTTP/1.1\r\nContent-Encoding: gzip\r\n\r\n", small_limits())->first.encoded);
  EXPECT_EQ(refusal_status("POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n"), 400);
  EXPECT_FALSE(parse_head("POST / HTTP/1.1\r\nContent-Encoding: identity\r\n\r\n", small_limits())->first.encoded);
  EXPECT_EQ(refusal_status("POST / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n"), 501);
  EXPECT_EQ(refusal_status("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n"), 400);
  EXPECT_EQ(refusal_status("POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n"), 400);
  EXPECT_EQ(refusal_status("POST / HTTP/2.0\r\n\r\n"), 505);
  EXPECT_EQ(refusal_status("POST /\r\n\r\n"), 400);
  EXPECT_EQ(refusal_status("POST / HTTP/1.1\r\nNo colon\r\n\r\n"), 400);
  EXPECT_EQ(refusal_status("POST / HTTP/1.1\r\nA: 1\r\n folded\r\n\r\n"), 400);
  EXPECT_EQ(refusal_status("POST / HTTP/1.1\r\nExpect: 200-ok\r\n\r\n"), 417);
}

TEST(FusionService_HttpChunkedBody, DecodesAcrossAnySplitAndRefusesPastTheLimitAtOnce) {
  const std::string wire = "4;ext=1\r\nWiki\r\n5\r\npedia\r\nE\r\n in\r\n\r\nchunks.\r\n0\r\nTrailer: x\r\n\r\nNEXT";
  const size_t end = wire.size() - 4;  // "NEXT" belongs to the next request
  for (size_t split = 0; split <= wire.size(); ++split) {
    ChunkedBody chunked(100);
    std::string body;
    const std::string first = wire.substr(0, split), second = wire.substr(split);
    size_t at = 0, at2 = 0;
    bool done = chunked.take(first, at, body);
    if (done) {
      EXPECT_EQ(at, end) << split;
    } else {
      EXPECT_EQ(at, first.size()) << split;
      done = chunked.take(second, at2, body);
      EXPECT_EQ(split + at2, end) << split;
    }
    ASSERT_TRUE(done) << split;
    EXPECT_EQ(body, "Wikipedia in\r\n\r\nchunks.") << split;
  }
  auto status_of = [](const std::string& wire, size_t limit) {
    ChunkedBody chunked(limit);
    std::string body;
    size_t at = 0;
    try {
      chunked.take(wire, at, body);
    } catch (const Refusal& refusal) {
      return refusal.status;
    }
    return 0;
  };
  // A 1 GiB chunk is refused on its size line, before any of its data.
  EXPECT_EQ(status_of("40000000\r\n{{{{", 4 << 20), 413);
  EXPECT_EQ(status_of("3\r\nabc\r\n3\r\nabc\r\n", 5), 413);
  EXPECT_EQ(status_of("3\r\nabc\r\n2\r\nab\r\n", 5), 0);
  EXPECT_EQ(status_of("zz\r\n", 5), 400);
  EXPECT_EQ(status_of("3\r\nabcd\r\n", 5), 400);
  EXPECT_EQ(status_of(std::string(300, '0'), 5), 400);
}

}  // namespace
}  // namespace quorv::fusion_service::http
