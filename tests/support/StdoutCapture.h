#pragma once

#include <iostream>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

// Redirects std::cout into a thread-safe buffer for the lifetime of the
// object, so tests can read the lines that engine threads write.
class StdoutCapture {
 public:
  StdoutCapture() : previous(std::cout.rdbuf(&buffer)) {}
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;
  ~StdoutCapture() { std::cout.rdbuf(previous); }

  std::string Text() const { return buffer.Text(); }
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(Text());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  class LockedBuffer : public std::streambuf {
   public:
    std::string Text() const {
      std::lock_guard<std::mutex> lock(mutex);
      return text;
    }

   protected:
    int_type overflow(int_type ch) override {
      if (ch == traits_type::eof()) return traits_type::not_eof(ch);
      std::lock_guard<std::mutex> lock(mutex);
      text.push_back(static_cast<char>(ch));
      return ch;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
      std::lock_guard<std::mutex> lock(mutex);
      text.append(s, static_cast<std::size_t>(n));
      return n;
    }

   private:
    mutable std::mutex mutex;
    std::string text;
  };

  LockedBuffer buffer;
  std::streambuf* previous;
};
