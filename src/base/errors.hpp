// InternalError: a condition the engine does not handle. It ends the whole
// parse; the Python boundary turns it into the internal-failure exception.
#pragma once

#include <stdexcept>
#include <string>

namespace quillet {

class InternalError : public std::runtime_error {
 public:
  InternalError(const std::string& message, const char* file, int line)
      : std::runtime_error(message), file_(file), line_(line) {}
  const char* file() const { return file_; }
  int line() const { return line_; }

 private:
  const char* file_;
  int line_;
};

#define QUILLET_INTERNAL_ERROR(message) ::quillet::InternalError((message), __FILE__, __LINE__)

}  // namespace quillet
