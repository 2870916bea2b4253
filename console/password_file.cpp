#include "console/password_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/errors.h"

namespace kartova {

namespace {

std::string OctalMode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Closes the descriptor on every way out.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

std::string ReadPasswordFile(const std::string& path) {
  // The checks are made on the opened file, so that the file read is the
  // file checked.
  Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY)};
  if (file.fd < 0) {
    const int err = errno;
    throw kivo::Exception("Cannot read the password file \"" + path + "\": " + std::strerror(err));
  }
  struct stat st {};
  if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    throw kivo::Exception("The password file \"" + path + "\" is not a regular file.");
  }
  if (st.st_uid != ::geteuid()) {
    throw kivo::Exception("The password file \"" + path +
                          "\" belongs to another user; it must belong to the user running "
                          "the program.");
  }
  if ((st.st_mode & 077) != 0) {
    throw kivo::Exception("The password file \"" + path + "\" can be used by others (mode " +
                          OctalMode(st.st_mode) +
                          "); make it readable by its owner only (chmod 600).");
  }
  // A password is one short line; more than this is no password file.
  constexpr std::size_t kLimit = 64 * 1024;
  std::string bytes;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(file.fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      throw kivo::Exception("Cannot read the password file \"" + path +
                            "\": " + std::strerror(err));
    }
    if (got == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(got));
    if (bytes.find('\n') != std::string::npos || bytes.size() > kLimit) break;
  }
  const std::size_t end = bytes.find('\n');
  std::string line = bytes.substr(0, end);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace kartova
