// Status: how an operation of the store layer ended: ok, or an error number (errno) with an
// optional context text saying what failed. Cheap to copy when ok; nothing here throws or logs.
//
// message() is the text a log line shows for the error: the context when one was given (zlib's own
// words for a damaged stream, for instance), otherwise strerror of the error number. Callers that
// log keep their own wording around it.
#pragma once

#include <cstring>
#include <string>
#include <utility>

namespace kestova {

class Status {
 public:
  Status() = default;  // ok
  // err == 0 gives ok (and drops the context).
  static Status FromErrno(int err, std::string context = {}) {
    Status s;
    if (err != 0) {
      s.code_ = err;
      s.context_ = std::move(context);
    }
    return s;
  }

  bool ok() const { return code_ == 0; }
  int code() const { return code_; }
  const std::string& context() const { return context_; }
  std::string message() const { return context_.empty() ? std::strerror(code_) : context_; }

 private:
  int code_ = 0;
  std::string context_;
};

}  // namespace kestova
