#pragma once

#include <atomic>
#include <cstdint>
#include <iostream>
#include <streambuf>

// Redirects std::cout for its lifetime into a sink that keeps nothing and
// counts the lines, so long runs neither flood the test log nor grow memory
// with the engine's thread lines.
class StdoutLineCounter {
 public:
  StdoutLineCounter() : previous(std::cout.rdbuf(&sink)) {}
  StdoutLineCounter(const StdoutLineCounter&) = delete;
  StdoutLineCounter& operator=(const StdoutLineCounter&) = delete;
  ~StdoutLineCounter() { std::cout.rdbuf(previous); }

  std::int64_t Lines() const { return sink.lines.load(); }

 private:
  class CountingSink : public std::streambuf {
   public:
    std::atomic<std::int64_t> lines{0};

   protected:
    int_type overflow(int_type ch) override {
      if (ch == '\n') ++lines;
      return traits_type::not_eof(ch);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
      for (std::streamsize i = 0; i < n; ++i) {
        if (s[i] == '\n') ++lines;
      }
      return n;
    }
  };

  CountingSink sink;
  std::streambuf* previous;
};
