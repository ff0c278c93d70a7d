#include "image/service/service.h"

namespace quorv::service {

std::string without_token(std::string text, const std::string& token) {
  if (token.empty()) return text;
  for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at + 3))
    text.replace(at, token.size(), "***");
  return text;
}

}  // namespace quorv::service
