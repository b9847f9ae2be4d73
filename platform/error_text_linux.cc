#include <string.h>

#include "platform/error_text.h"

namespace platform {

std::string errorText(int error) {
  const char* text = ::strerrordesc_np(error);
  return text ? text : "Unknown error " + std::to_string(error);
}

}  // namespace platform
