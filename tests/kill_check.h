// What the crash-safety tests share: killing a kill_writer at a seeded
// random moment, the real kvbtool's verdict on the database it left, and
// the replay of its ops file against the rows found after the kill.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace kivo::killtest {

// The rows of a table by identifier (or key), each with its version.
using TRowVersions = std::map<std::uint32_t, std::int32_t>;

// What a writer run reported before it was killed.
struct TKillOutcome {
  long reported = -1;      // the highest count in its "open" and "flushed" lines
  int signal = 0;          // the signal that ended it, 0 when it had exited
  bool open = false;       // it reported the table open
  int flushes = 0;         // its "flushed" lines
  std::string unexpected;  // an output line of neither kind, if one came
};

// Runs kill_writer with `args`, lets it report its table open and a random
// number (0 .. 3) of flushes, waits a random pause of up to `maxPauseUs`
// (about the time of a batch, so that the kill lands anywhere: inside a
// change, inside a flush, between), and kills it with SIGKILL.
TKillOutcome RunAndKill(const std::vector<std::string>& args, std::mt19937& random,
                        unsigned maxPauseUs = 20000);

// Runs the real kvbtool check on the database at `path`. It must find
// nothing but container pages allocated and not yet referred to: a kill
// between an allocation and the page map that takes the page leaves that,
// and it loses no data. Such leaked pages are counted while `leaksAllowed`;
// the next writable open frees them, so after it every finding fails.
class TKvbtoolCheck {
 public:
  // Returns kvbtool's findings.
  std::string ExpectPasses(const std::string& path, const std::string& tablePassword,
                           const std::string& when, bool leaksAllowed);
  // The distinct leaked-page findings so far.
  std::size_t Leaks() const { return leaks_.size(); }

 private:
  std::set<std::string> leaks_;
};

// What the replay of an ops file found.
struct TOpsVerdict {
  long wrong = 0;                   // rows in a state the plans do not allow
  std::size_t inFlight = 0;         // rows the batch in flight touched (0: none was)
  std::size_t changedInFlight = 0;  // of those, rows found changed by it
};

// Checks `table` against the ops file `opsPath` of the writer run that
// started from `start`: every flushed batch must be there whole; each row
// the batch in flight touched may be in any state it passed through.
// A plan line is "B <step> ... E": "I <id> [<version>]" (version 0 when
// left out), "U <id> <version>" or "D <id>".
TOpsVerdict CheckOps(const std::string& opsPath, const TRowVersions& start,
                     const TRowVersions& table, const std::string& when);

// The failures recorded so far in the running test.
int Findings();

}  // namespace kivo::killtest
