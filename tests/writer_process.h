// A kill_writer process run by the crash-safety tests, its standard output
// on a pipe, killed with SIGKILL when the test chooses.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef KILL_WRITER_BIN
#error "KILL_WRITER_BIN must name the kill_writer program"
#endif

namespace kivo::testing {

// Whether this is a sanitizer build (every kill round there is several
// times slower).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_UNDEFINED__)
inline constexpr bool kSanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
inline constexpr bool kSanitizedBuild = true;
#else
inline constexpr bool kSanitizedBuild = false;
#endif
#else
inline constexpr bool kSanitizedBuild = false;
#endif

// The number of kills a crash-safety test makes: KARTOVA_KILL_ROUNDS when
// set to a positive number, else `plain`, or `sanitized` in a sanitizer build.
inline int KillRounds(int plain, int sanitized) {
  if (const char* text = std::getenv("KARTOVA_KILL_ROUNDS")) {
    const int n = std::atoi(text);
    if (n > 0) return n;
  }
  return kSanitizedBuild ? sanitized : plain;
}

// The seed of a crash-safety test: KARTOVA_KILL_SEED when set, else `fallback`.
inline unsigned KillSeed(unsigned fallback) {
  if (const char* text = std::getenv("KARTOVA_KILL_SEED"))
    return static_cast<unsigned>(std::strtoul(text, nullptr, 10));
  return fallback;
}

// A running kill_writer with its standard output on a pipe.
class TWriterProcess {
 public:
  explicit TWriterProcess(const std::vector<std::string>& args) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      ::dup2(fds[1], STDOUT_FILENO);
      ::close(fds[0]);
      ::close(fds[1]);
      std::vector<char*> argv;
      std::string program = KILL_WRITER_BIN;
      argv.push_back(program.data());
      std::vector<std::string> copies = args;
      for (std::string& a : copies) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    fd_ = fds[0];
  }
  ~TWriterProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) ::close(fd_);
  }

  // The next line, without its newline; false at end of output.
  bool ReadLine(std::string& line) {
    for (;;) {
      const std::size_t nl = pending_.find('\n');
      if (nl != std::string::npos) {
        line = pending_.substr(0, nl);
        pending_.erase(0, nl + 1);
        return true;
      }
      char chunk[4096];
      const ssize_t got = ::read(fd_, chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      pending_.append(chunk, static_cast<std::size_t>(got));
    }
  }

  // SIGKILL; returns the signal that ended the process (0 when it had exited).
  int Kill() {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string pending_;
};

}  // namespace kivo::testing
