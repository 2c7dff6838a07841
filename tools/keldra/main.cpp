// keldra: the command-line front end of the library. Every failure ends
// here as a message and an exit status (0 all files succeeded, 1 a file
// failed, 2 a usage error); nothing escapes as an abort.
#include <cstdio>
#include <cstring>
#include <new>

#include "cli.h"

namespace {

struct Command {
  const char* name;
  int (*run)(const cli::Args&);
};

const Command kCommands[] = {
    {"convert", cli::cmdConvert}, {"info", cli::cmdInfo},   {"tags", cli::cmdTags},
    {"palette", cli::cmdPalette}, {"edit", cli::cmdEdit},   {"strip", cli::cmdStrip},
    {"thumbnail", cli::cmdThumbnail},
};

int printVersion() {
  std::printf("keldra %s (abi %d)\n", kd_version(), kd_image_abi_version());
  return cli::writeStdout("") ? cli::kExitOk : cli::kExitFailed;
}

// --help anywhere before "--".
bool asksHelp(const cli::Args& args) {
  for (const std::string& a : args) {
    if (a == "--") return false;
    if (a == "--help" || a == "-h") return true;
  }
  return false;
}

int run(const std::string& name, const cli::Args& args) {
  for (const Command& c : kCommands) {
    if (name != c.name) continue;
    if (asksHelp(args)) {
      std::fputs(cli::commandHelp(name), stdout);
      return cli::kExitOk;
    }
    try {
      return c.run(args);
    } catch (const cli::UsageError& e) {
      std::fprintf(stderr, "keldra %s: %s (see keldra %s --help)\n", c.name, e.what(), c.name);
      return cli::kExitUsage;
    }
  }
  std::fprintf(stderr, "keldra: unknown command '%s' (see keldra --help)\n", name.c_str());
  return cli::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  cli::installSignalHandlers();
  if (argc < 2) {
    std::fputs(cli::programHelp(), stderr);
    return cli::kExitUsage;
  }
  const std::string first = argv[1];
  cli::Args args(argv + 2, argv + argc);
  if (first == "--help" || first == "-h" || first == "help") {
    const char* text = args.empty() ? cli::programHelp() : cli::commandHelp(args[0]);
    if (text == nullptr) return run(args[0], {});
    std::fputs(text, stdout);
    return cli::kExitOk;
  }
  if (first == "--version" || first == "version") return printVersion();
  try {
    kd_exif_init();
    return run(first, args);
  } catch (const cli::FileError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", cli::terminalText(e.what()).c_str());
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "keldra: out of memory\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "keldra: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "keldra: unexpected failure\n");
  }
  return cli::kExitFailed;
}
