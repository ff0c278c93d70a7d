#include "tests/support/test_support.h"

#include "image/module.h"
#include "tools/image_io/image_io.h"

namespace quorv::test {

at::Tensor sample_picture(const std::string& name) {
  return io::read_picture(std::string(QUORV_DATA_DIR) + "/" + name).rgb;
}

std::string test_model_folder() { return QUORV_TEST_MODEL_DIR; }

CapturedServices::CapturedServices() {
  host::PackageServices services = host::default_package_services();
  services.print = [this](const std::string& line) { printed.push_back(line); };
  services.log = [this](const std::string& message, std::nullopt_t, std::nullopt_t,
                        const std::string& detail) { logged.push_back({message, detail}); };
  load_module(services);
}

CapturedServices::~CapturedServices() { load_module(); }

at::Tensor random_picture(int64_t b, int64_t h, int64_t w, int64_t c, uint64_t seed) {
  at::Generator gen = at::detail::createCPUGenerator(seed);
  return at::rand({b, h, w, c}, gen, at::kFloat);
}

}  // namespace quorv::test
