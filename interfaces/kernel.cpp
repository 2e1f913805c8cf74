#include "kernel.h"

#include <sstream>

namespace Kernel {
namespace {

struct Message_Buffer {
  std::ostringstream stream;
  std::string text;
};

Message_Buffer& Thread_Buffer() {
  thread_local Message_Buffer buffer;
  return buffer;
}

}  // namespace

Inserter Error::Tmp_Str_Inserter() {
  Message_Buffer& buffer = Thread_Buffer();
  buffer.stream.str(std::string());
  buffer.stream.clear();
  return Inserter{&buffer.stream};
}

char* Error::Tmp_Str() {
  Message_Buffer& buffer = Thread_Buffer();
  buffer.text = buffer.stream.str();
  // The composed text already ends in the '\0' every message is closed with;
  // std::string adds one more, so an unterminated message is safe as well.
  return &buffer.text[0];
}

Exception::Exception(const char* condition, const char* message, const char* file, int line)
    : condition_(condition ? condition : ""), message_(message ? message : ""), file_(file ? file : ""), line_(line) {
  std::ostringstream text;
  text << (message_.empty() ? "check failed" : message_) << " (" << condition_ << ", " << file_ << ':' << line_ << ')';
  what_ = text.str();
}

void Throw_Error(const char* condition_or_null, const char* message_or_condition, const char* source, int line) {
  if (condition_or_null == nullptr) throw Exception(message_or_condition, "", source, line);
  throw Exception(condition_or_null, message_or_condition, source, line);
}

}  // namespace Kernel
