#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "host/errors.h"
#include "image/module.h"
#include "image/service/service.h"

namespace quorv::service {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Deeper replies could exhaust the stack of whoever copies them later.
constexpr int kMaxReplyDepth = 64;
// Members of an ordered object are found by a linear search: keep it short.
constexpr size_t kMaxObjectMembers = 256;

struct Reply {
  long status = 0;
  std::string body;
};

// A failed exchange, with the kind of failure its outcome reports.
class ExchangeError : public Error {
 public:
  ExchangeError(FusionOutcome::Kind kind, const std::string& what) : Error(what), kind(kind) {}
  FusionOutcome::Kind kind;
};

// What the transfer callbacks share with the loop that drives them.
struct Exchange {
  int64_t max_reply_bytes = 0;
  std::string body;
  std::string failure;  // why a callback stopped the transfer
  bool connected = false;
  Clock::time_point last_data;
  curl_off_t progress = 0;
};

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

// Detaches the transfer before either handle is cleaned up.
struct Attachment {
  CURLM* multi;
  CURL* easy;
  ~Attachment() { curl_multi_remove_handle(multi, easy); }
};

void init_curl_once() {
  // A function-local static runs exactly once, even with concurrent callers.
  static const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (code != CURLE_OK) throw Error(std::string("libcurl could not start: ") + curl_easy_strerror(code));
}

template <class T>
void set_option(CURL* easy, CURLoption option, T value) {
  const CURLcode code = curl_easy_setopt(easy, option, value);
  if (code != CURLE_OK) throw Error(std::string("libcurl refused an option: ") + curl_easy_strerror(code));
}

bool has_control_character(const std::string& text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto& exchange = *static_cast<Exchange*>(user);
  const size_t bytes = size * count;
  exchange.last_data = Clock::now();
  if (exchange.body.size() + bytes > static_cast<uint64_t>(exchange.max_reply_bytes)) {
    exchange.failure = "the reply is larger than " + std::to_string(exchange.max_reply_bytes) + " bytes";
    return 0;  // anything but `bytes` aborts the transfer
  }
  try {
    exchange.body.append(data, bytes);
  } catch (const std::exception& e) {
    exchange.failure = std::string("the reply could not be stored: ") + e.what();
    return 0;
  }
  return bytes;
}

size_t on_header(char*, size_t size, size_t count, void* user) {
  static_cast<Exchange*>(user)->last_data = Clock::now();
  return size * count;
}

int on_progress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
  auto& exchange = *static_cast<Exchange*>(user);
  if (downloaded + uploaded != exchange.progress) {
    exchange.progress = downloaded + uploaded;
    exchange.last_data = Clock::now();
  }
  return 0;
}

// Called once a connection stands, before the request goes out: the data
// time limit starts here, the connect time limit covers what came before.
int on_connected(void* user, char*, char*, int, int) {
  auto& exchange = *static_cast<Exchange*>(user);
  exchange.connected = true;
  exchange.last_data = Clock::now();
  return CURL_PREREQFUNC_OK;
}

HeaderList request_headers(const std::string& token) {
  const std::string lines[] = {std::string("User-Agent: ") + kUserAgent, "Authorization: Bearer " + token,
                               "Content-Type: application/json",
                               // no "Expect: 100-continue" round trip for larger requests
                               "Expect:"};
  HeaderList list;
  for (const std::string& line : lines) {
    curl_slist* extended = curl_slist_append(list.get(), line.c_str());
    if (!extended) throw Error("libcurl could not build the request headers");
    list.release();
    list.reset(extended);
  }
  return list;
}

void configure(CURL* easy, const std::string& url, const std::string& body, curl_slist* headers,
               const ClientOptions& options, Exchange& exchange, char* error_text) {
  set_option(easy, CURLOPT_ERRORBUFFER, error_text);
  set_option(easy, CURLOPT_URL, url.c_str());
  set_option(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  set_option(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  set_option(easy, CURLOPT_FOLLOWLOCATION, 1L);
  set_option(easy, CURLOPT_MAXREDIRS, static_cast<long>(options.max_redirects));
  set_option(easy, CURLOPT_UNRESTRICTED_AUTH, 0L);
  set_option(easy, CURLOPT_PROXY, "");  // the module reads no environment, proxies included
  set_option(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  set_option(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  set_option(easy, CURLOPT_NOSIGNAL, 1L);
  set_option(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connect_timeout.count()));
  set_option(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(options.total_timeout.count()));
  set_option(easy, CURLOPT_HTTPHEADER, headers);
  set_option(easy, CURLOPT_POST, 1L);
  set_option(easy, CURLOPT_POSTFIELDS, body.data());
  set_option(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  set_option(easy, CURLOPT_WRITEFUNCTION, on_body);
  set_option(easy, CURLOPT_WRITEDATA, &exchange);
  set_option(easy, CURLOPT_HEADERFUNCTION, on_header);
  set_option(easy, CURLOPT_HEADERDATA, &exchange);
  set_option(easy, CURLOPT_NOPROGRESS, 0L);
  set_option(easy, CURLOPT_XFERINFOFUNCTION, on_progress);
  set_option(easy, CURLOPT_XFERINFODATA, &exchange);
  set_option(easy, CURLOPT_PREREQFUNCTION, on_connected);
  set_option(easy, CURLOPT_PREREQDATA, &exchange);
}

// Drives the transfer until libcurl finishes it or no data arrives for the
// data time limit; libcurl itself enforces the connect and total limits.
CURLcode run_transfer(CURLM* multi, const Exchange& exchange, milliseconds data_timeout) {
  for (;;) {
    int running = 0;
    const CURLMcode step = curl_multi_perform(multi, &running);
    if (step != CURLM_OK) throw Error(std::string("libcurl: ") + curl_multi_strerror(step));
    if (running == 0) break;
    milliseconds wait = data_timeout;
    if (exchange.connected) {
      const auto idle = std::chrono::duration_cast<milliseconds>(Clock::now() - exchange.last_data);
      if (idle >= data_timeout)
        throw ExchangeError(FusionOutcome::Kind::TimedOut,
                            "no data from the service for " + std::to_string(data_timeout.count()) + " ms");
      wait = data_timeout - idle;
    }
    // libcurl shortens the wait to its own next time limit.
    const int wait_ms = static_cast<int>(std::clamp<int64_t>(wait.count(), 1, 1000));
    const CURLMcode polled = curl_multi_poll(multi, nullptr, 0, wait_ms, nullptr);
    if (polled != CURLM_OK) throw Error(std::string("libcurl: ") + curl_multi_strerror(polled));
  }
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
    if (message->msg == CURLMSG_DONE) return message->data.result;
  }
  throw Error("libcurl finished without a result");
}

// The calling thread's multi handle, which keeps its connections open
// between requests: a run asks once per tile, and a new connection each time
// cost a third of the exchange. Null when libcurl cannot make one.
CURLM* thread_multi() {
  thread_local MultiHandle multi;
  thread_local pid_t owner = 0;
  // A forked child must neither use nor close the connections it inherited:
  // they are its parent's too. The copied handle is left as it is.
  if (multi && owner != getpid()) static_cast<void>(multi.release());
  if (!multi) {
    multi.reset(curl_multi_init());
    owner = getpid();
  }
  return multi.get();
}

Reply post(const std::string& url, const std::string& token, const std::string& body, const ClientOptions& options) {
  init_curl_once();
  if (has_control_character(token)) throw Error("API.token holds a line break or another control character");
  const EasyHandle easy(curl_easy_init());
  CURLM* const multi = thread_multi();
  if (!easy || !multi) throw Error("libcurl could not create a transfer");
  const HeaderList headers = request_headers(token);
  Exchange exchange;
  exchange.max_reply_bytes = options.max_reply_bytes;
  char error_text[CURL_ERROR_SIZE] = "";
  configure(easy.get(), url, body, headers.get(), options, exchange, error_text);

  const CURLMcode added = curl_multi_add_handle(multi, easy.get());
  if (added != CURLM_OK) throw Error(std::string("libcurl: ") + curl_multi_strerror(added));
  const Attachment attachment{multi, easy.get()};
  const CURLcode result = run_transfer(multi, exchange, options.data_timeout);
  if (!exchange.failure.empty()) throw ExchangeError(FusionOutcome::Kind::BadReply, exchange.failure);
  if (result != CURLE_OK)
    throw ExchangeError(result == CURLE_OPERATION_TIMEDOUT ? FusionOutcome::Kind::TimedOut
                                                           : FusionOutcome::Kind::Unreachable,
                        error_text[0] ? error_text : curl_easy_strerror(result));

  Reply reply;
  curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &reply.status);
  reply.body = std::move(exchange.body);
  return reply;
}

// The reply body as a JSON object, refusing shapes that would be costly to hold.
Json decoded_object(const std::string& body) {
  std::vector<size_t> members;  // per open object, by parser depth
  const Json::parser_callback_t guard = [&members](int depth, Json::parse_event_t event, Json&) {
    if (event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start) {
      if (depth >= kMaxReplyDepth)
        throw Error("the reply nests deeper than " + std::to_string(kMaxReplyDepth) + " levels");
      members.resize(static_cast<size_t>(depth) + 2);
      members.at(static_cast<size_t>(depth) + 1) = 0;
    } else if (event == Json::parse_event_t::key && ++members.at(static_cast<size_t>(depth)) > kMaxObjectMembers) {
      throw Error("the reply holds an object with more than " + std::to_string(kMaxObjectMembers) + " members");
    }
    return true;
  };
  Json reply;
  try {
    reply = Json::parse(body, guard);
  } catch (const Json::parse_error& e) {
    throw Error(std::string("the reply is not JSON: ") + e.what());
  }
  if (!reply.is_object()) throw Error(std::string("the reply is not a JSON object, got ") + reply.type_name());
  return reply;
}

}  // namespace

FusionReply fetch_blend_info(const Json& payload, const NodeState& SELF, const ClientOptions& options) {
  if (options.connect_timeout <= milliseconds(0))
    throw ValueError("ClientOptions.connect_timeout must be positive, got " +
                     std::to_string(options.connect_timeout.count()) + " ms");
  if (options.data_timeout <= milliseconds(0))
    throw ValueError("ClientOptions.data_timeout must be positive, got " +
                     std::to_string(options.data_timeout.count()) + " ms");
  if (options.total_timeout <= milliseconds(0))
    throw ValueError("ClientOptions.total_timeout must be positive, got " +
                     std::to_string(options.total_timeout.count()) + " ms");
  if (options.max_reply_bytes < 0)
    throw ValueError("ClientOptions.max_reply_bytes must not be negative, got " +
                     std::to_string(options.max_reply_bytes));
  if (options.max_redirects < 0)
    throw ValueError("ClientOptions.max_redirects must not be negative, got " + std::to_string(options.max_redirects));

  FusionReply answer;
  FusionOutcome& outcome = answer.outcome;
  std::string token;
  Reply reply;
  try {
    const std::string php_url = module_services()->get_apiurl(0) + "blend_info.php";
    token = SELF.API.token.get();
    reply = post(php_url, token, payload.dump(), options);
  } catch (const ExchangeError& e) {
    outcome.kind = e.kind;
    outcome.reason = without_token(e.what(), token);
    return answer;
  } catch (const std::exception& e) {
    outcome.kind = FusionOutcome::Kind::Unreachable;
    outcome.reason = without_token(e.what(), token);
    return answer;
  }
  outcome.http_status = reply.status;
  if (reply.status >= 400 && reply.status <= 599) {
    outcome.kind = FusionOutcome::Kind::FailedStatus;
    outcome.reason = "the service answered HTTP " + std::to_string(reply.status) +
                     (reply.status == 429 ? " (credits exhausted)" : "");
    return answer;
  }
  try {
    answer.blend_info = decoded_object(reply.body);
    outcome.kind = FusionOutcome::Kind::Replied;
  } catch (const std::exception& e) {
    outcome.kind = FusionOutcome::Kind::BadReply;
    outcome.reason = without_token(e.what(), token);
  }
  return answer;
}

Json api_nuero_generative_fusion_tiles(const Json& payload, const NodeState& SELF, const ClientOptions& options) {
  FusionReply answer = fetch_blend_info(payload, SELF, options);
  const FusionOutcome& outcome = answer.outcome;
  if (outcome.kind == FusionOutcome::Kind::FailedStatus) {
    if (outcome.http_status == 429) print_line(kCreditsExhaustedMessage);
  } else if (!outcome.replied()) {
    print_line(kFetchFailedMessage + outcome.reason);
  }
  return std::move(answer.blend_info);
}

}  // namespace quorv::service
