#pragma once
// A run-time error as the system's components raise it: a number, a description and a source.
#include <QString>
#include <cstdint>
#include <exception>
#include <string>

namespace vrl {

// Error numbers are 32-bit signed, as the automation runtime reports them: 0x8004020E reads
// as a negative number. Component errors are numbered above the object-error base.
inline constexpr int32_t ErrNum(uint32_t code) { return static_cast<int32_t>(code); }
inline constexpr int32_t kObjectErrorBase = ErrNum(0x80040000u);

class VrlError : public std::exception {
 public:
  VrlError(int32_t number, QString description, QString source);
  int32_t Number() const { return number_; }
  const QString& Description() const { return description_; }
  const QString& Source() const { return source_; }
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  int32_t number_;
  QString description_;
  QString source_;
  std::string what_;
};

}  // namespace vrl
