// libvips for the picture reader and writer: start-up, owned images, errors.
#pragma once

#include <vips/vips.h>

#include <string>

namespace quorv::io::detail {

/// Starts libvips once per process (without its operation cache) and routes its warnings.
void start_vips();

/// A VipsImage reference released when it goes out of scope.
class VipsRef {
 public:
  VipsRef() = default;
  explicit VipsRef(VipsImage* image) : image_(image) {}
  ~VipsRef() {
    if (image_) g_object_unref(image_);
  }
  VipsRef(VipsRef&& other) noexcept : image_(other.image_) { other.image_ = nullptr; }
  VipsRef& operator=(VipsRef&& other) noexcept {
    std::swap(image_, other.image_);
    return *this;
  }
  VipsRef(const VipsRef&) = delete;
  VipsRef& operator=(const VipsRef&) = delete;

  VipsImage* get() const { return image_; }
  VipsImage** out() { return &image_; }

 private:
  VipsImage* image_ = nullptr;
};

/// libvips' error buffer as one line, emptied.
std::string vips_error_text();

}  // namespace quorv::io::detail
