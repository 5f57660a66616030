// The conversion trace: a detailed line-by-line account of every pass, in GBK
// bytes. Nobody listens by default; a front end attaches a sink (a file, the
// terminal). With no sink attached a trace call costs one branch: the
// TONVELL_TRACE macro formats nothing.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace tonvell {

class TraceChannel {
 public:
  using Sink = std::function<void(std::string_view bytes)>;

  bool on() const { return static_cast<bool>(sink_); }
  void setSink(Sink sink) { sink_ = std::move(sink); }

  // Sends bytes as they are.
  void write(std::string_view bytes) const {
    if (sink_) sink_(bytes);
  }
  // printf-style formatting; the format is GBK (see gbkLiteral).
  void printf(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  // The 53-byte separator: 0x81 0x7C 26 times, then a line feed.
  void separator() const;

 private:
  Sink sink_;
};

// The GBK bytes of a UTF-8 literal (the trace formats, always representable
// in GBK).
std::string gbkLiteral(const char* utf8);

}  // namespace tonvell

// TONVELL_TRACE(channel, "UTF-8 format", args...): formats and sends one trace
// call only when the channel has a sink. The format is converted to GBK once
// per call site (a thread-safe static), so conversions on several threads may
// trace at once.
#define TONVELL_TRACE(channel, fmt, ...)                                       \
  do {                                                                         \
    if ((channel).on()) {                                                      \
      static const std::string tonvell_trace_fmt_ = ::tonvell::gbkLiteral(fmt); \
      (channel).printf(tonvell_trace_fmt_.c_str() __VA_OPT__(, ) __VA_ARGS__);  \
    }                                                                          \
  } while (0)
