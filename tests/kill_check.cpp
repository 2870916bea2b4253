#include "tests/kill_check.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/process_runner.h"
#include "tests/writer_process.h"

#ifndef KVBTOOL_BIN
#error "KVBTOOL_BIN must name the kvbtool program"
#endif

namespace kivo::killtest {

namespace {

// The number in a "flushed N" or "open N" line, or -1.
long CountIn(const std::string& line) {
  for (const char* prefix : {"flushed ", "open "}) {
    const std::string p = prefix;
    if (line.rfind(p, 0) == 0) return std::strtol(line.c_str() + p.size(), nullptr, 10);
  }
  return -1;
}

std::int32_t StateOf(const TRowVersions& rows, std::uint32_t id) {
  const auto it = rows.find(id);
  return it == rows.end() ? -1 : it->second;
}

}  // namespace

TKillOutcome RunAndKill(const std::vector<std::string>& args, std::mt19937& random,
                        unsigned maxPauseUs) {
  TKillOutcome outcome;
  testing::TWriterProcess writer(args);
  const int flushesFirst = static_cast<int>(random() % 4);
  const auto pauseUs = static_cast<int>(random() % maxPauseUs);
  // Takes one output line; false when it is of neither kind.
  auto take = [&outcome](const std::string& line) {
    const long n = CountIn(line);
    if (n < 0) return false;
    outcome.reported = std::max(outcome.reported, n);
    if (line.rfind("open ", 0) == 0)
      outcome.open = true;
    else
      ++outcome.flushes;
    return true;
  };
  std::string line;
  while (writer.ReadLine(line)) {
    if (!take(line)) {
      outcome.unexpected = line;
      break;
    }
    if (outcome.open && outcome.flushes >= flushesFirst) break;
  }
  if (outcome.open && outcome.unexpected.empty())
    std::this_thread::sleep_for(std::chrono::microseconds(pauseUs));
  outcome.signal = writer.Kill();
  // Lines written before the kill still count as reported.
  while (writer.ReadLine(line)) take(line);
  return outcome;
}

std::string TKvbtoolCheck::ExpectPasses(const std::string& path, const std::string& tablePassword,
                                        const std::string& when, bool leaksAllowed) {
  std::vector<std::string> args = {"check", path};
  if (!tablePassword.empty()) {
    args.push_back("--password");
    args.push_back(tablePassword);
  }
  testing::ProcessOptions options;
  options.env["KARTOVA_PASSWORD"] = std::nullopt;
  const testing::ProcessResult r = testing::RunProcess(KVBTOOL_BIN, args, options);
  if (r.exit_code == 0) {
    EXPECT_EQ(r.out, "ok\n") << when;
    return r.out;
  }
  std::string others;
  std::size_t start = 0;
  while (start < r.out.size()) {
    std::size_t end = r.out.find('\n', start);
    if (end == std::string::npos) end = r.out.size();
    const std::string line = r.out.substr(start, end - start);
    if (leaksAllowed && line.find("is marked used but nothing refers to it") != std::string::npos &&
        line.rfind("page ", 0) == 0) {
      leaks_.insert(line);
    } else {
      others += line + "\n";
    }
    start = end + 1;
  }
  EXPECT_EQ(r.exit_code, 1) << when << ": kvbtool check\n" << r.out << r.err;
  EXPECT_EQ(others, "") << when << ": kvbtool check found damage";
  return r.out;
}

TOpsVerdict CheckOps(const std::string& opsPath, const TRowVersions& start,
                     const TRowVersions& table, const std::string& when) {
  std::vector<std::string> lines;
  {
    std::ifstream in(opsPath);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  TRowVersions model = start;
  std::map<std::uint32_t, std::set<std::int32_t>> inFlight;  // -1: no such row
  TRowVersions beforeFlight;  // the rows in flight as the batch found them
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line == "F") continue;
    const bool whole = line.size() >= 4 && line.compare(0, 2, "B ") == 0 &&
                       line.compare(line.size() - 2, 2, " E") == 0;
    if (!whole) {  // torn by the kill: nothing of it was carried out
      EXPECT_EQ(i + 1, lines.size()) << when << ": ops line " << i << " is cut short";
      break;
    }
    const bool flushed = i + 1 < lines.size() && lines[i + 1] == "F";
    if (!flushed) {
      EXPECT_EQ(i + 1, lines.size()) << when << ": a batch before the last was not flushed";
    }
    std::istringstream steps(line.substr(2, line.size() - 4));
    for (std::string kind; steps >> kind;) {
      std::uint32_t id = 0;
      std::int32_t version = 0;
      steps >> id;
      steps >> std::ws;
      const bool versioned = kind == "U" || (kind == "I" && std::isdigit(steps.peek()) != 0);
      if (versioned) steps >> version;
      if (!flushed) {
        inFlight[id].insert(StateOf(model, id));
        beforeFlight.emplace(id, StateOf(model, id));
      }
      if (kind == "D")
        model.erase(id);
      else
        model[id] = version;
      if (!flushed) inFlight[id].insert(StateOf(model, id));
    }
  }
  std::set<std::uint32_t> all;
  for (const auto& rows : {model, table})
    for (const auto& [id, version] : rows) all.insert(id);
  TOpsVerdict verdict;
  verdict.inFlight = inFlight.size();
  for (std::uint32_t id : all) {
    const std::int32_t actual = StateOf(table, id);
    const auto open = inFlight.find(id);
    const bool ok =
        open != inFlight.end() ? open->second.count(actual) > 0 : actual == StateOf(model, id);
    if (open != inFlight.end() && actual != beforeFlight[id]) ++verdict.changedInFlight;
    if (!ok) {
      ++verdict.wrong;
      ADD_FAILURE() << when << ": row " << id << " has version " << actual << ", expected "
                    << StateOf(model, id)
                    << (open != inFlight.end() ? " or a state on its way" : "");
    }
  }
  return verdict;
}

int Findings() {
  return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
}

}  // namespace kivo::killtest
