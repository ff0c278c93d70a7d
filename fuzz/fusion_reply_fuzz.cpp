// Fuzzed fusion-service replies into both fusion updates, over real HTTP on 127.0.0.1.
#include <httplib.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "fuzz/fuzz_support.h"
#include "image/quorv_image.h"

namespace {

// A loopback service that answers every request with the current fuzz input.
class ReplyServer {
 public:
  ReplyServer() {
    server_.Post(".*", [this](const httplib::Request&, httplib::Response& res) {
      std::lock_guard<std::mutex> lock(mutex_);
      res.set_content(reply_, "application/json");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::yield();
    quorv::host::set_apiurl("http://127.0.0.1:" + std::to_string(port_) + "/");
  }
  ~ReplyServer() {
    server_.stop();
    thread_.join();
  }
  void reply(std::string body) {
    std::lock_guard<std::mutex> lock(mutex_);
    reply_ = std::move(body);
  }

 private:
  httplib::Server server_;
  std::mutex mutex_;
  std::string reply_;
  int port_ = 0;
  std::thread thread_;
};

// A fixed 3 x 3 grid of 32-pixel tiles overlapping by 8.
struct Grid {
  std::vector<quorv::GridSpec> specs;
  std::vector<quorv::OptionalImage> finished;
  quorv::NodeState SELF;
  Grid() {
    for (int64_t r = 0; r < 3; ++r)
      for (int64_t c = 0; c < 3; ++c) {
        specs.push_back({r, c, r * 3 + c, c * 24, r * 24, 32, 32});
        finished.emplace_back(at::rand({1, 32, 32, 3}));
      }
    finished[7].reset();  // one tile without a picture: the fallback list is consulted
    SELF.SIZE.inpaint_border_margin = 4;
    SELF.SIZE.inpaint_blur_margin = 2;
    SELF.SIZE.shift = 1;
    SELF.PARAMS.Tile_Fusion_Blend = 0.75;
    SELF.OUTPUTS.grid_images_all = std::vector<at::Tensor>(9, at::rand({1, 32, 32, 3}));
    SELF.API.token = "t";
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (quorv::fuzz::bind_quiet_services(), true);
  static ReplyServer server;
  static Grid grid;
  (void)quiet;
  if (size < 1) return 0;
  server.reply(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  const int64_t index = data[0] % 9;
  const bool blend_all = data[0] & 0x10;
  const at::Tensor tile = at::rand({1, 32, 32, 3});
  const at::Tensor before = tile.clone();
  std::vector<at::Tensor> finished_before;
  for (const auto& t : grid.finished) finished_before.push_back(t ? t->clone() : at::Tensor());

  for (auto update : {&quorv::Quorv_Image::add_last_generated_to_base_image,
                      &quorv::Quorv_Image::add_last_generated_to_base_image_V1})
    quorv::fuzz::expect_result_or_error("fusion update", [&] {
      const at::Tensor fused = update(grid.SELF, "1", tile, grid.specs, index, grid.finished, blend_all, 1);
      if (fused.sizes() != tile.sizes()) std::abort();
    });
  quorv::fuzz::expect_unchanged("tile", before, tile);
  for (size_t i = 0; i < grid.finished.size(); ++i)
    quorv::fuzz::expect_unchanged("finished tile", finished_before[i], grid.finished[i] ? *grid.finished[i] : at::Tensor());
  return 0;
}
