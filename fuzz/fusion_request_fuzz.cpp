// Request bodies into the reference fusion service: always an answer, never a crash.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fusion_service/fusion_service.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  const auto answer = quorv::fusion_service::answer_blend_info(body, "Bearer t", std::string("t"));
  if (answer.status != 200 && answer.status != 400 && answer.status != 413) std::abort();
  if (!answer.body.is_object()) std::abort();
  return 0;
}
