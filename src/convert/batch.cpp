#include "convert/batch.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "convert/input.h"
#include "convert/paths.h"
#include "core/gbk.h"
#include "platform/files.h"
#include "core/trace.h"

namespace tonvell {

namespace {
// The longest line of the file list taken as a path: this system's path limit.
constexpr std::size_t kMaxLineBytes = PATH_MAX;
}  // namespace

struct BatchRun::Item {
  int index;
  std::string path;
  bool exists = false;  // the input was there when the run began, as `id`
  FileIdentity id;
};

// A file read and converted, waiting to be reported and saved.
struct BatchRun::Prepared {
  ResultCode readCode = ResultCode::kSuccess;
  int osError = 0;
  ConversionResult conversion;
  std::string trace;  // the conversion's trace, when it ran ahead of its turn
  // Saved by a worker ahead of its turn (see runParallel); only a new file
  // written whole is kept so, anything else is saved again at its turn.
  bool savedAhead = false;
  SaveOutcome save;
};

std::vector<FailureReason> failureReasons(const FileOutcome& outcome) {
  std::vector<FailureReason> reasons;
  if (!outcome.converted()) {
    if (outcome.osError != 0 || outcome.code == ResultCode::kFileNotFound || outcome.code == ResultCode::kReadFailed)
      reasons.push_back({outcome.inputPath, describeReadFailure(outcome.code, outcome.osError)});
    return reasons;
  }
  if (!outcome.folderFailure.folder.empty()) {
    const int error = outcome.folderFailure.osError;
    reasons.push_back({outcome.folderFailure.folder, error ? platform::errorText(error) : "cannot be created"});
  }
  if (!outcome.refused() &&
      (outcome.save.status == SaveStatus::kCannotOpen || outcome.save.status == SaveStatus::kWriteFailed)) {
    const int error = outcome.save.osError;
    reasons.push_back({outcome.outputPath, error ? platform::errorText(error) : "cannot be written"});
  }
  return reasons;
}

std::string outputPathFor(const std::string& folder, const std::string& inputPath) {
  const PathRules& rules = kNativeRules;
  const PathParts dir = splitPath(folder, rules);
  const PathParts input = splitPath(inputPath, rules);
  return makePath(dir.drive, dir.directory, input.baseName, ".mld", rules);
}

void BatchRun::finishFile(const Item& item, Prepared& prepared, RunSummary& summary,
                          const std::function<bool()>& makeRoom) {
  FileOutcome outcome;
  outcome.index = item.index;
  outcome.inputPath = item.path;
  outcome.code = prepared.readCode != ResultCode::kSuccess ? prepared.readCode : prepared.conversion.code;
  outcome.osError = prepared.osError;
  if (outcome.converted()) {
    outcome.channel16LeftOut = prepared.conversion.channel16LeftOut;
    if (prepared.conversion.headerTextSubstituted) observer_.headerTextSubstituted();
    observer_.savingStarted();
    const PathRules& rules = kNativeRules;
    // The separator stays in the setting; the folder box shows it from now on.
    if (!endsWithSeparator(settings_.outputFolder, rules)) settings_.outputFolder += rules.separator;
    outcome.outputPath = outputPathFor(settings_.outputFolder, item.path);
    observer_.outputChosen(outcome.outputPath);
    const PathParts folder = splitPath(settings_.outputFolder, rules);
    // The log does not report a folder that cannot be made (the write that
    // follows fails and says so); the reason goes with the outcome.
    if (prepared.savedAhead) {
      outcome.save = prepared.save;
    } else {
      createDirectories(folder.drive, folder.directory, rules, nativeDirectories(), &outcome.folderFailure);
      // Neither an input of the run nor a file this run has written already
      // is ever overwritten, whatever name (a link, another spelling) leads
      // to it.
      FileIdentity existing;
      const bool exists = identifyFile(outcome.outputPath, &existing);
      if (exists && inputs_.holds(existing)) {
        outcome.outputIsInput = true;
      } else if (exists && written_.holds(existing)) {
        outcome.duplicateOutput = true;
      } else {
        outcome.save = saveOutput(outcome.outputPath, prepared.conversion.mfi, policy_);
        if (outcome.save.wantedRoom() && makeRoom && makeRoom()) {
          // Again, with the question settled as it was.
          outcome.save = saveDecided(outcome.outputPath, writerOf(prepared.conversion.mfi), outcome.save.decision);
        }
      }
    }
    FileIdentity id = outcome.save.identity;
    if (outcome.saved() && (outcome.save.identified || identifyFile(outcome.outputPath, &id))) written_.insert(id);
  }
  std::vector<std::uint8_t>().swap(prepared.conversion.mfi);
  if (outcome.saved()) ++summary.saved;
  else if (outcome.skipped()) ++summary.skipped;
  else ++summary.failed;
  if (options_.trace && options_.trace->on()) {
    // The trace keeps the system's reasons, which the log leaves out.
    for (const FailureReason& r : failureReasons(outcome))
      options_.trace->write(gbkLiteral("※ ") + utf8ToGbk(sanitizeUtf8(r.path)).text + ": " + r.reason + "\n");
  }
  observer_.fileFinished(outcome);
}

RunSummary BatchRun::run(const std::vector<std::string>& lines) {
  std::vector<Item> items;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string_view fetched = lines[i];
    if (fetched.size() > kMaxLineBytes) fetched = fetched.substr(0, kMaxLineBytes);
    std::string path(fetched.substr(0, cutLine(fetched)));
    if (!path.empty()) items.push_back(Item{static_cast<int>(i), std::move(path), false, {}});
  }
  for (Item& item : items) item.exists = inputs_.add(item.path, &item.id);
  RunSummary summary;
  summary.checked = static_cast<int>(items.size());
  if (options_.jobs > 1 && items.size() > 1)
    runParallel(items, lines.size(), summary);
  else
    runSequential(items, lines.size(), summary);
  observer_.runFinished(summary);
  return summary;
}

namespace {
// Inputs from this size on are announced before they are converted (busyAhead).
constexpr std::size_t kBusyInputBytes = std::size_t{1} << 20;
}  // namespace

void BatchRun::runSequential(const std::vector<Item>& items, std::size_t lines, RunSummary& summary) {
  std::size_t next = 0;
  for (std::size_t line = 0; line < lines; ++line) {
    if (next < items.size() && items[next].index == static_cast<int>(line)) {
      const Item& item = items[next++];
      observer_.fileStarted(item.index, item.path);
      Prepared prepared;
      std::vector<std::uint8_t> input;
      prepared.readCode = readInputFile(item.path, &input, &prepared.osError);
      // A megabyte takes milliseconds, and a pathological one far longer.
      if (input.size() >= kBusyInputBytes) observer_.busyAhead();
      if (prepared.readCode == ResultCode::kSuccess)
        prepared.conversion = convertMidi(input, conversionOptions(settings_), options_.date, options_.trace, &observer_);
      finishFile(item, prepared, summary);
    }
    observer_.lineDone(static_cast<int>(line));
  }
}

// Workers read and convert files ahead, at most a window of them; this
// thread reports and saves them in list order, so everything the user sees
// and every file written is as in a sequential run. A file that an earlier
// file's output could change (an input named like an output, or one that is
// already some output under another name) is read only at its turn.
//
// A worker also saves ahead a file whose output is sure to be a new file of
// its own: its name was free when the run began, in a folder that was there,
// and no other file of the run has that name, in any case of its letters.
// Such a save asks nothing and can meet no other file of the run, so it
// ends as it would at its turn; only one that succeeds is kept. Nothing is
// saved ahead in a run that reads any file at its turn, or whose outputs
// include a link.
void BatchRun::runParallel(const std::vector<Item>& items, std::size_t lines, RunSummary& summary) {
  const std::size_t count = items.size();
  const ConversionOptions conversion = conversionOptions(settings_);
  std::vector<Prepared> prepared(count);
  std::vector<char> atTurn(count, 0), done(count, 0), ahead(count, 0);
  std::vector<std::string> outputPaths(count);
  {
    std::string folder = settings_.outputFolder;
    if (!endsWithSeparator(folder, kNativeRules)) folder += kNativeRules.separator;
    FileSet outputs;
    bool linked = false;
    for (std::size_t k = 0; k < count; ++k) {
      outputPaths[k] = outputPathFor(folder, items[k].path);
      FileIdentity id;
      if (identifyFile(outputPaths[k], &id)) {
        outputs.insert(id);
      } else {
        ahead[k] = 1;
      }
      if (platform::createdPath(outputPaths[k]) != outputPaths[k]) linked = true;
    }
    // Names that differ only in the case of ASCII letters are one output
    // on some file systems: such outputs are saved at their turn.
    std::vector<std::pair<std::string, std::size_t>> names(count);
    for (std::size_t k = 0; k < count; ++k) {
      std::string name = outputPaths[k];
      for (char& c : name) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
      names[k] = {std::move(name), k};
    }
    std::sort(names.begin(), names.end());
    for (std::size_t i = 1; i < count; ++i) {
      if (names[i].first == names[i - 1].first) ahead[names[i].second] = ahead[names[i - 1].second] = 0;
    }
    const PathParts parts = splitPath(folder, kNativeRules);
    const std::string made = parts.drive + parts.directory;
    if (!options_.saveAhead || linked || !platform::isDirectory(made.empty() ? "." : made))
      std::fill(ahead.begin(), ahead.end(), 0);
    for (std::size_t k = 0; k < count; ++k) {
      const std::string& path = items[k].path;
      const bool namedLikeOutput =
          path.size() >= 4 && std::equal(path.end() - 4, path.end(), ".mld", [](char a, char b) {
            return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b;
          });
      atTurn[k] = namedLikeOutput || !items[k].exists || outputs.holds(items[k].id);
      if (atTurn[k]) std::fill(ahead.begin(), ahead.end(), 0);
    }
  }

  const bool tracing = options_.trace && options_.trace->on();
  const auto convertItem = [&](std::size_t k) {
    Prepared& p = prepared[k];
    std::vector<std::uint8_t> input;
    p.readCode = readInputFile(items[k].path, &input, &p.osError);
    if (p.readCode != ResultCode::kSuccess) return;
    TraceChannel trace;
    if (tracing) trace.setSink([&p](std::string_view bytes) { p.trace.append(bytes); });
    p.conversion = convertMidi(input, conversion, options_.date, &trace);
  };

  const std::size_t jobs = static_cast<std::size_t>(options_.jobs);
  // Files taken ahead of the one reported: this bounds the memory. A file
  // saved ahead holds nothing while it waits (no trace either, untraced), so
  // when files may be, the workers run further ahead and seldom wait for a
  // slow one to be reported.
  const bool anyAhead = std::find(ahead.begin(), ahead.end(), 1) != ahead.end();
  const std::size_t window = jobs * 2 + (anyAhead && !tracing ? 64 : 0);
  const std::size_t wakeUpEvery = anyAhead && !tracing ? 8 : 1;
  // Threads are woken only when what they wait for may have come: this one
  // when the file it waits for is done, workers when the window has room.
  std::mutex mutex;
  std::condition_variable fileDone, roomMade;
  std::size_t nextToTake = 0, reported = 0;
  std::size_t waitingFor = count;  // the file this thread waits for; count when none
  std::size_t workersWaiting = 0;
  bool stopping = false;
  // Saving ahead stops for good when the system turns out unable to, or
  // when a save runs out of room (see makeRoom).
  bool aheadStopped = false;
  std::size_t aheadInFlight = 0;
  std::condition_variable aheadIdle;

  const auto saveAhead = [&](std::size_t k) {
    Prepared& p = prepared[k];
    if (!ahead[k] || p.readCode != ResultCode::kSuccess || p.conversion.code != ResultCode::kSuccess) return;
    {
      std::lock_guard lock(mutex);
      if (aheadStopped) return;
      ++aheadInFlight;
    }
    const platform::WriteResult written = platform::writeNewFile(outputPaths[k], writerOf(p.conversion.mfi), UINT64_MAX);
    bool idle;
    std::vector<std::uint8_t> saved;  // freed outside the lock
    {
      // From here on the file may be taken back at any time (makeRoom).
      std::lock_guard lock(mutex);
      if (written.status == platform::WriteStatus::kNotDone && written.error != EEXIST) aheadStopped = true;
      if (written.status == platform::WriteStatus::kWritten) {
        p.savedAhead = true;
        p.save = saveOutcomeOf(written, OverwriteDecision::kNoFile);
        saved.swap(p.conversion.mfi);
      }
      idle = --aheadInFlight == 0;
    }
    if (idle) aheadIdle.notify_all();
  };

  // A save that ran out of room may have lost it to files saved ahead of
  // their turn, which a run of one file at a time would not have written
  // yet: saving ahead stops, those files are removed (when they are still
  // the ones written) and read, converted and saved again at their turns,
  // and the save is tried once more.
  std::size_t finishing = 0;  // the file this thread reports
  const auto makeRoom = [&]() -> bool {
    std::vector<std::size_t> undone;
    {
      std::unique_lock lock(mutex);
      aheadStopped = true;
      aheadIdle.wait(lock, [&] { return aheadInFlight == 0; });
      for (std::size_t j = finishing + 1; j < count; ++j) {
        if (prepared[j].savedAhead) undone.push_back(j);
      }
    }
    for (const std::size_t j : undone) {
      FileIdentity id;
      if (identifyFile(outputPaths[j], &id) && id == prepared[j].save.identity) platform::removeFile(outputPaths[j]);
      prepared[j] = Prepared{};
      atTurn[j] = 1;
    }
    return !undone.empty();
  };

  const auto worker = [&] {
    for (;;) {
      std::size_t k;
      {
        std::unique_lock lock(mutex);
        ++workersWaiting;
        roomMade.wait(lock, [&] { return stopping || (nextToTake < count && nextToTake < reported + window); });
        --workersWaiting;
        if (stopping || nextToTake >= count) return;
        k = nextToTake++;
      }
      if (!atTurn[k]) {
        convertItem(k);
        saveAhead(k);
      }
      bool awaited;
      {
        std::lock_guard lock(mutex);
        done[k] = 1;
        awaited = waitingFor == k;
      }
      if (awaited) fileDone.notify_one();
    }
  };
  std::vector<std::thread> threads;
  const std::size_t workers = std::min(jobs, count);
  {
    // Workers never take SIGINT, SIGTERM, SIGHUP or the like: those reach this thread,
    // whose saves use temporary names, so an interrupted save can clean up
    // after itself (the workers' saves have none).
    TerminationSignalsBlocked blocked;
    for (std::size_t t = 0; t < workers; ++t) threads.emplace_back(worker);
  }

  std::size_t next = 0;
  for (std::size_t line = 0; line < lines; ++line) {
    if (next < count && items[next].index == static_cast<int>(line)) {
      const std::size_t k = next++;
      observer_.fileStarted(items[k].index, items[k].path);
      {
        std::unique_lock lock(mutex);
        if (done[k] == 0 && wakeUpEvery > 1) {
          // While workers save ahead, this thread has little to do per file
          // and soon waits for them: asleep, it waits for several files at
          // once (only for files the window lets the workers take), as a
          // wake-up costs more than reporting a file; but never long for the
          // later ones, which may be large.
          const std::size_t last = std::min({k + wakeUpEvery - 1, k + window - 1, count - 1});
          waitingFor = last;
          fileDone.wait_for(lock, std::chrono::milliseconds(2), [&] { return done[last] != 0; });
        }
        waitingFor = k;
        while (!fileDone.wait_for(lock, std::chrono::milliseconds(100), [&] { return done[k] != 0; })) {
          lock.unlock();
          observer_.busyAhead();
          lock.lock();
        }
        waitingFor = count;
      }
      if (atTurn[k]) convertItem(k);
      if (tracing && !prepared[k].trace.empty()) options_.trace->write(prepared[k].trace);
      std::string().swap(prepared[k].trace);
      finishing = k;
      finishFile(items[k], prepared[k], summary, makeRoom);
      bool roomAwaited;
      {
        std::lock_guard lock(mutex);
        reported = k + 1;
        roomAwaited = workersWaiting > 0;
      }
      if (roomAwaited) roomMade.notify_all();
    }
    observer_.lineDone(static_cast<int>(line));
  }
  {
    std::lock_guard lock(mutex);
    stopping = true;
  }
  roomMade.notify_all();
  for (std::thread& t : threads) t.join();
}

}  // namespace tonvell
