// Batch work for info and tags: worker threads (the main thread among them)
// take files in input order, and each record is printed as soon as it may
// (in input order, or as finished with --unordered), flushed per record,
// with the progress line on stderr. Workers never run more than a window of
// files ahead of the printed ones, so memory stays bounded whatever one
// file costs.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

#include "cli.h"

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;

struct Outcome {
  std::string text;
  std::string error;  // "FILE: reason"; empty: success
  bool done = false;
};

class Progress {
 public:
  Progress(bool on, size_t total) : on_(on), total_(total), start_(Clock::now()) {}

  void update(size_t done, bool force) {
    if (!on_) return;
    const auto now = Clock::now();
    if (!force && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? done / seconds : 0;
    char line[128];
    if (rate > 0) {
      const long left = static_cast<long>((total_ - done) / rate + 0.5);
      std::snprintf(line, sizeof line, "%zu/%zu files, %.0f files/s, %ld:%02ld left", done, total_,
                    rate, left / 60, left % 60);
    } else {
      std::snprintf(line, sizeof line, "%zu/%zu files", done, total_);
    }
    std::fprintf(stderr, "\r%s\033[K", line);
    shown_ = true;
  }

  // Clears the line before other text goes to stderr.
  void clear() {
    if (shown_) std::fputs("\r\033[K", stderr);
    shown_ = false;
  }

 private:
  bool on_;
  size_t total_;
  Clock::time_point start_;
  Clock::time_point last_{};
  bool shown_ = false;
};

}  // namespace

bool writeStdout(std::string_view text) {
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
    return false;
  }
  return std::fflush(stdout) == 0;
}

namespace {

// The record of one file, with any exception turned into its failure.
Outcome runOne(const Entry& e, const BatchWork& work) {
  Outcome o;
  std::string reason;
  try {
    if (!e.error.empty()) throw FileError(e.path, e.error);
    o.text = work.run(e.path);
  } catch (const FileError& f) {
    o.error = f.what();
    reason = f.reason();
  } catch (const std::bad_alloc&) {
    reason = "out of memory";
  } catch (const std::exception& x) {
    reason = x.what();
  } catch (...) {
    reason = "unexpected failure";
  }
  if (!reason.empty() && o.error.empty()) o.error = e.path + ": " + reason;
  if (!o.error.empty()) o.text = work.failed ? work.failed(e.path, reason) : "";
  o.done = true;
  return o;
}

}  // namespace

int runBatch(const std::vector<Entry>& entries, const BatchOptions& opts, const BatchWork& work) {
  const size_t total = entries.size();
  const size_t jobs = std::min(static_cast<size_t>(std::max(1, opts.jobs)), std::max<size_t>(total, 1));
  const size_t window = 64 * jobs;
  const bool showProgress = opts.progress == 1 || (opts.progress == -1 && ::isatty(STDERR_FILENO));
  Progress progress(showProgress && total > 0, total);
  std::vector<Outcome> outcomes(total);
  std::deque<size_t> finished;  // with --unordered: indices not yet printed
  std::mutex lock;
  std::condition_variable room;
  size_t nextTake = 0, printed = 0, failures = 0;
  bool printing = false, first = true;
  // Set by the printing thread, read by every worker.
  std::atomic<bool> outputFailed = !writeStdout(opts.open);

  // The records that may be printed now, taken out under the lock.
  auto printable = [&] {
    std::vector<Outcome> batch;
    if (opts.unordered) {
      for (size_t i : finished) batch.push_back(std::move(outcomes[i]));
      finished.clear();
    } else {
      while (printed + batch.size() < total && outcomes[printed + batch.size()].done) {
        batch.push_back(std::move(outcomes[printed + batch.size()]));
      }
    }
    return batch;
  };
  auto print = [&](std::vector<Outcome>& batch) {
    for (Outcome& o : batch) {
      if (!o.error.empty()) {
        ++failures;
        progress.clear();
        std::fprintf(stderr, "%s\n", terminalText(o.error).c_str());
      }
      if (!o.text.empty() && !outputFailed) {
        outputFailed = !writeStdout((first ? "" : opts.separator) + o.text + opts.recordEnd);
        first = false;
      }
    }
  };
  // Every thread works and prints: the thread that finds records ready
  // prints them while no other does, so no thread waits for a printer.
  auto worker = [&] {
    std::unique_lock<std::mutex> guard(lock);
    while (true) {
      room.wait(guard, [&] {
        return outputFailed || nextTake >= total || opts.unordered || nextTake < printed + window;
      });
      if (outputFailed || nextTake >= total) return;
      const size_t i = nextTake++;
      guard.unlock();
      Outcome o = runOne(entries[i], work);
      guard.lock();
      outcomes[i] = std::move(o);
      if (opts.unordered) finished.push_back(i);
      if (printing) continue;
      printing = true;
      for (auto batch = printable(); !batch.empty(); batch = printable()) {
        guard.unlock();
        print(batch);
        progress.update(printed + batch.size(), printed + batch.size() == total);
        guard.lock();
        printed += batch.size();
        room.notify_all();
      }
      printing = false;
    }
  };
  std::vector<std::thread> threads;
  for (size_t t = 1; t < jobs; ++t) threads.emplace_back(worker);
  worker();
  for (std::thread& t : threads) t.join();
  progress.clear();
  if (!outputFailed) outputFailed = !writeStdout(opts.close);
  if (opts.summary) std::fprintf(stderr, "%zu files, %zu failed\n", total, failures);
  return failures == 0 && !outputFailed ? kExitOk : kExitFailed;
}

const OptionSpec kBatchOptions[kBatchOptionCount] = {
    {"-r", false},         {"--ext", true},        {"-@", true},
    {"--jsonl", false},    {"-j", true},           {"--unordered", false},
    {"--progress", false}, {"--no-progress", false},
};

BatchSetup setUpBatch(const ParsedArgs& parsed, bool json) {
  BatchSetup setup;
  GatherOptions gather;
  gather.recursive = parsed.has("-r");
  if (auto ext = parsed.last("--ext")) gather.extensions = parseExtensions(*ext);
  if (auto list = parsed.last("-@")) gather.listFile = *list;
  bool stdinOperand = false;
  for (const std::string& op : parsed.operands) stdinOperand = stdinOperand || op == "-";
  if (stdinOperand && gather.listFile == "-") {
    throw UsageError("standard input cannot hold both a file and the list of names (-@ -)");
  }
  if (parsed.operands.empty() && gather.listFile.empty()) {
    throw UsageError("no FILE given");
  }
  BatchOptions& b = setup.batch;
  unsigned cores = std::thread::hardware_concurrency();
  b.jobs = cores == 0 ? 1 : static_cast<int>(cores);
  if (auto j = parsed.last("-j")) b.jobs = static_cast<int>(parseIntegerIn("-j", *j, 1, 256));
  b.unordered = parsed.has("--unordered");
  for (const auto& [name, value] : parsed.options) {
    if (name == "--progress") b.progress = 1;
    if (name == "--no-progress") b.progress = 0;
  }
  // A batch is anything but one named file: its output has the same shape
  // however many files the walk finds.
  const bool batch = gather.recursive || !gather.listFile.empty() || parsed.operands.size() > 1;
  setup.entries = gatherFiles(parsed.operands, gather);
  b.summary = batch;
  if (!batch && b.progress == -1) b.progress = 0;
  if (json && batch && !parsed.has("--jsonl")) {
    const bool empty = setup.entries.empty();
    b.open = empty ? "[" : "[\n  ";
    b.separator = ",\n  ";
    b.close = empty ? "]\n" : "\n]\n";
  } else if (json) {
    b.recordEnd = "\n";
  }
  return setup;
}

}  // namespace cli
