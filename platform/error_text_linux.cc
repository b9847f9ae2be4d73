#include <string.h>

#include "platform/error_text.h"

namespace platform {

std::string errorText(int error) {
  const char* text = ::strerrordesc_np(error);
  return text ? text : "Unknown error " + std::to_string(error);
}

std::string callFailure(std::string_view call, std::string_view what, int error) {
  std::string text(call);
  return text.append(" ").append(what).append(": ").append(errorText(error));
}

std::string fileFailure(std::string_view verb, std::string_view path, std::string_view call,
                        int error) {
  std::string text = "Could not ";
  text.append(verb).append(" \"").append(path).append("\" (").append(call).append("): ");
  return text.append(errorText(error)).append(".");
}

}  // namespace platform
