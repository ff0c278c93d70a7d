#include "fusion_service/http_request.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <vector>

namespace quorv::fusion_service::http {
namespace {

constexpr size_t kMaxChunkLine = 256;
constexpr size_t kMaxTrailerBytes = 16 * 1024;

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool is_token_char(unsigned char c) {
  return std::isalnum(c) || std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

// Lines end in "\r\n" or a bare "\n"; the line without its ending.
std::string_view without_cr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

uint64_t content_length(std::string_view value) {
  if (value.empty() || value.size() > 18 || !std::all_of(value.begin(), value.end(), ::isdigit))
    throw Refusal(400, "Content-Length must be a decimal number, got \"" + std::string(value.substr(0, 20)) + "\"");
  return std::stoull(std::string(value));
}

// Comma-separated list members, lower case, e.g. "Connection: close, Upgrade".
std::vector<std::string> list_members(std::string_view value) {
  std::vector<std::string> members;
  while (!value.empty()) {
    const size_t comma = value.find(',');
    const std::string_view member = trimmed(value.substr(0, comma));
    if (!member.empty()) members.push_back(lower(member));
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return members;
}

void read_request_line(std::string_view line, Head& head) {
  const size_t first = line.find(' ');
  const size_t last = line.rfind(' ');
  if (first == std::string_view::npos || first == last || first == 0)
    throw Refusal(400, "the request line must be METHOD TARGET HTTP/1.x");
  head.method = std::string(line.substr(0, first));
  const std::string_view target = line.substr(first + 1, last - first - 1);
  const std::string_view version = line.substr(last + 1);
  if (target.empty() || target.find(' ') != std::string_view::npos)
    throw Refusal(400, "the request line must be METHOD TARGET HTTP/1.x");
  if (!std::all_of(head.method.begin(), head.method.end(), [](char c) { return is_token_char(static_cast<unsigned char>(c)); }))
    throw Refusal(400, "the request method is not a token");
  if (version == "HTTP/1.0")
    head.http10 = true;
  else if (version != "HTTP/1.1")
    throw Refusal(version.substr(0, 5) == "HTTP/" ? 505 : 400, "only HTTP/1.0 and HTTP/1.1 are served");
  head.path = std::string(target.substr(0, target.find('?')));
  head.keep_alive = !head.http10;
}

void read_header(std::string_view line, Head& head, bool& seen_length) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) throw Refusal(400, "a header line has no name");
  const std::string_view raw_name = line.substr(0, colon);
  if (!std::all_of(raw_name.begin(), raw_name.end(), [](char c) { return is_token_char(static_cast<unsigned char>(c)); }))
    throw Refusal(400, "a header name holds a character that is not allowed");
  const std::string name = lower(raw_name);
  const std::string_view value = trimmed(line.substr(colon + 1));
  if (name == "authorization") {
    head.authorization = std::string(value);
  } else if (name == "content-length") {
    const uint64_t length = content_length(value);
    if (seen_length && head.content_length != length) throw Refusal(400, "Content-Length is given twice, differently");
    seen_length = true;
    head.content_length = length;
  } else if (name == "transfer-encoding") {
    const std::vector<std::string> codings = list_members(value);
    if (codings != std::vector<std::string>{"chunked"})
      throw Refusal(501, "only \"Transfer-Encoding: chunked\" is understood");
    head.chunked = true;
  } else if (name == "content-encoding") {
    const std::vector<std::string> codings = list_members(value);
    if (!codings.empty() && codings != std::vector<std::string>{"identity"}) head.encoded = true;
  } else if (name == "expect") {
    if (lower(value) != "100-continue") throw Refusal(417, "only \"Expect: 100-continue\" is understood");
    head.expects_continue = true;
  } else if (name == "connection") {
    for (const std::string& option : list_members(value)) {
      if (option == "close") head.keep_alive = false;
      if (option == "keep-alive" && head.http10) head.keep_alive = true;
    }
  }
}

}  // namespace

std::optional<std::pair<Head, size_t>> parse_head(const std::string& buffer, const Limits& limits) {
  // Empty lines between pipelined requests are skipped.
  size_t start = 0;
  while (start < buffer.size() && (buffer[start] == '\r' || buffer[start] == '\n')) ++start;
  if (start > 4) throw Refusal(400, "too many empty lines before the request");

  std::vector<std::string_view> lines;
  size_t end = 0;
  for (size_t at = start;;) {
    const size_t newline = buffer.find('\n', at);
    if (newline == std::string::npos || newline - start >= limits.max_head_bytes) {
      if (buffer.size() - start >= limits.max_head_bytes)
        throw Refusal(431, "the request head is longer than " + std::to_string(limits.max_head_bytes) + " bytes");
      return std::nullopt;
    }
    const std::string_view line = without_cr(std::string_view(buffer).substr(at, newline - at));
    at = newline + 1;
    if (line.empty()) {
      end = at;
      break;
    }
    if (lines.size() > limits.max_header_count)
      throw Refusal(431, "the request has more than " + std::to_string(limits.max_header_count) + " headers");
    lines.push_back(line);
  }

  Head head;
  read_request_line(lines.front(), head);
  bool seen_length = false;
  for (size_t i = 1; i < lines.size(); ++i) {
    if (lines[i].front() == ' ' || lines[i].front() == '\t') throw Refusal(400, "folded header lines are not accepted");
    read_header(lines[i], head, seen_length);
  }
  if (head.chunked && head.content_length)
    throw Refusal(400, "a request cannot have both Content-Length and Transfer-Encoding");
  if (head.chunked && head.http10) throw Refusal(400, "chunked bodies need HTTP/1.1");
  return std::make_pair(std::move(head), end);
}

bool ChunkedBody::take(const std::string& buffer, size_t& at, std::string& body) {
  // A line of the chunk framing, gathered across calls; true once complete.
  auto line_complete = [&](size_t limit, const char* what) {
    const size_t newline = buffer.find('\n', at);
    const size_t stop = newline == std::string::npos ? buffer.size() : newline;
    if (line_.size() + (stop - at) > limit) throw Refusal(400, std::string(what) + " is too long");
    line_.append(buffer, at, stop - at);
    at = newline == std::string::npos ? buffer.size() : newline + 1;
    if (newline == std::string::npos) return false;
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    return true;
  };

  while (at < buffer.size() && stage_ != Stage::Done) {
    switch (stage_) {
      case Stage::Size: {
        if (!line_complete(kMaxChunkLine, "a chunk size line")) break;
        const std::string_view digits = trimmed(std::string_view(line_).substr(0, line_.find(';')));
        if (digits.empty() || digits.size() > 15 || !std::all_of(digits.begin(), digits.end(), ::isxdigit))
          throw Refusal(400, "a chunk size must be a hexadecimal number");
        remaining_ = std::stoull(std::string(digits), nullptr, 16);
        line_.clear();
        if (remaining_ > max_body_bytes_ - body.size())
          throw Refusal(413, "the request is larger than " + std::to_string(max_body_bytes_) + " bytes");
        stage_ = remaining_ == 0 ? Stage::Trailer : Stage::Data;
        break;
      }
      case Stage::Data: {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(remaining_, buffer.size() - at));
        body.append(buffer, at, n);
        at += n;
        remaining_ -= n;
        if (remaining_ == 0) stage_ = Stage::DataEnd;
        break;
      }
      case Stage::DataEnd:
        if (!line_complete(2, "the end of a chunk")) break;
        if (!line_.empty()) throw Refusal(400, "a chunk is longer than its size says");
        stage_ = Stage::Size;
        break;
      case Stage::Trailer: {
        if (!line_complete(kMaxTrailerBytes, "a trailer line")) break;
        trailer_bytes_ += line_.size();
        if (trailer_bytes_ > kMaxTrailerBytes) throw Refusal(431, "the trailers are too long");
        stage_ = line_.empty() ? Stage::Done : Stage::Trailer;
        line_.clear();
        break;
      }
      case Stage::Done:
        break;
    }
  }
  return stage_ == Stage::Done;
}

}  // namespace quorv::fusion_service::http
