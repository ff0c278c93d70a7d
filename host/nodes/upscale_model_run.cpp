#include <ATen/ATen.h>

#include <new>

#include "host/errors.h"
#include "host/image_tensor.h"
#include "host/nodes/upscale_model_internal.h"

namespace quorv::host {
namespace {

bool contains(const std::string& text, const char* fragment) { return text.find(fragment) != std::string::npos; }

bool is_out_of_memory(const std::string& message) {
  return contains(message, "can't allocate memory") || contains(message, "out of memory") ||
         contains(message, "Cannot allocate memory");
}

// The interpreter's message is a traceback through the model's code; its
// last line ("RuntimeError: ...") is what went wrong.
std::string essence(const std::string& message) {
  std::string last, line;
  for (size_t i = 0; i <= message.size(); ++i) {
    if (i == message.size() || message[i] == '\n') {
      if (line.find_first_not_of(" \t") != std::string::npos) last = line;
      line.clear();
    } else {
      line += message[i];
    }
  }
  if (!contains(message, "Traceback of TorchScript")) return message.substr(0, message.find('\n'));
  return last.substr(last.find_first_not_of(" \t"));
}

std::string plural(int64_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

}  // namespace

at::Tensor run_model_piece(const UpscaleModel::Module& module, const std::string& model_name,
                           const at::Tensor& piece, const std::string& piece_name) {
  const std::string where = " (" + piece_name + ", input " + shape_string(piece) + ")";
  const auto fail = [&](const std::string& what) {
    return ValueError("upscale model '" + model_name + "' " + what + where);
  };
  c10::IValue result;
  try {
    c10::InferenceMode inference;
    if (module.forward) {
      result = module.forward(piece);
    } else {
      torch::jit::Module runner = module.module;  // shares the loaded weights
      result = runner.forward({piece});
    }
  } catch (const std::bad_alloc&) {
    throw ModelOutOfMemory("out of memory" + where);
  } catch (const c10::Error& e) {
    const std::string message = e.what_without_backtrace();
    if (is_out_of_memory(message)) throw ModelOutOfMemory(essence(message) + where);
    throw fail("failed: " + essence(message));
  } catch (const std::exception& e) {  // an exception the model's code raised
    const std::string message = e.what();
    if (is_out_of_memory(message)) throw ModelOutOfMemory(essence(message) + where);
    throw fail("failed: " + essence(message));
  }
  if (!result.isTensor()) throw fail("returned a " + result.tagKind() + ", expected a tensor [1, C, h, w]");
  at::Tensor out = result.toTensor();
  const int64_t channels = piece.size(1), h = piece.size(2), w = piece.size(3);
  if (out.dim() != 4 || out.size(0) != 1)
    throw fail("returned " + shape_string(out) + ", expected [1, " + std::to_string(channels) + ", s*" +
               std::to_string(h) + ", s*" + std::to_string(w) + "]");
  if (!out.is_floating_point())
    throw fail("returned " + std::string(c10::toString(out.scalar_type())) + " values, expected float");
  if (out.size(1) != channels)
    throw fail("returned " + plural(out.size(1), "channel") + ", expected " + std::to_string(channels));
  if (out.size(2) % h != 0 || out.size(3) % w != 0 || out.size(2) / h != out.size(3) / w || out.size(2) < h)
    throw fail("returned " + shape_string(out) + ", not a whole multiple of the input size");
  const int64_t bad = at::logical_not(at::isfinite(out)).sum().item<int64_t>();
  if (bad > 0) throw fail("returned NaN or infinity in " + plural(bad, "value") + " of " + shape_string(out));
  return out.to(at::kFloat);
}

}  // namespace quorv::host
