#include "platform/system_error.hpp"

#include <cerrno>
#include <cstring>

namespace worktree_runtime::platform {
namespace {

// What strerror_r gave. The GNU form (glibc) returns the text, which may or
// may not be in the buffer; the XSI form (elsewhere) writes it into the
// buffer, even for an unknown number, and returns 0 or an error number.
[[maybe_unused]] const char* error_text(const char* gnu_text, const char* /*buffer*/) { return gnu_text; }
[[maybe_unused]] const char* error_text(int /*xsi_failure*/, const char* buffer) { return buffer; }

}  // namespace

SystemError SystemError::last() { return {errno}; }

std::string SystemError::description() const {
  if (number == 0) return "failed to write whole buffer";
  char buffer[256] = "";
  const char* text = error_text(::strerror_r(number, buffer, sizeof buffer), buffer);
  return std::string(text) + " (os error " + std::to_string(number) + ")";
}

}  // namespace worktree_runtime::platform
