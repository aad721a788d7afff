// The engine's exception class: every failure of the engine is raised with one
// of its fixed message texts.
#pragma once

#include <stdexcept>
#include <string>

namespace zelvo {

class EngineException : public std::runtime_error {
 public:
  explicit EngineException(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace zelvo
