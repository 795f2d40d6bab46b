// Times the catalog walk at scale: the program against walk_floor (the system
// calls the walk needs and nothing more) and against GNU find making the same
// selection on the same catalog folder.
//
//   catalog_walk_bench PROGRAM [--runs N] [--sizes 1000,10000,100000] [--dir FOLDER]
//                              [--floor WALK_FLOOR]
//
// For each size it makes a catalog folder in FOLDER (default: the system's
// temporary folder) with about half non-GUID folders and files, 40% GUID
// folders holding a file, 10% files with GUID names, the eight reserved
// folders and no stray folder, so that nothing is renamed and all three do
// the same work. After one warm-up run of each, the three run in turn; it
// prints the median wall time and the peak resident memory of each, and the
// median of the per-turn ratios. A second table gives the whole run with 0,
// 10 and 100 stray folders.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const char* const kReserved[] = {
    "{F750E6C3-38EE-11D1-85E5-00C04FC295EE}", "{573E31F8-AABA-11D0-8CCB-00C04FC295EE}",
    "{5555C2CD-17FB-11D1-85C4-00C04FC295EE}", "{189A3842-3041-11D1-85E1-00C04FC295EE}",
    "{FC451C16-AC75-11D1-B4B8-00C04FB66EA0}", "{00AAC56B-CD44-11D0-8CC2-00C04FC295EE}",
    "{573E31F8-DDBA-11D0-8CCB-00C04FC295EE}", "{127D0A1D-4EF2-11D1-8608-00C04FC295EE}",
};

struct Measure {
  double seconds;
  long peak_kib;
};

struct Options {
  std::string program;
  std::string floor;  // walk_floor; by default the one beside this program
  int runs = 7;
  std::vector<int> sizes = {1000, 10000, 100000};
  fs::path dir = fs::temp_directory_path();
};

std::string Guid(unsigned serial, unsigned kind) {
  char name[40];
  std::snprintf(name, sizeof name, "{%08X-%04X-4000-8000-%012X}", serial, kind, serial * 7919u);
  return name;
}

void Touch(const fs::path& path) { std::ofstream{path}; }

struct Catalog {
  std::size_t name_bytes = 0;  // of every name in the folder
  int candidates = 0;          // GUID-shaped, not reserved folders
  std::vector<fs::path> strays;
};

// Makes the catalog folder.
Catalog MakeCatalog(const fs::path& root, int entries, int strays) {
  fs::remove_all(root);
  fs::create_directories(root);
  Catalog catalog;
  std::size_t& name_bytes = catalog.name_bytes;
  auto add_folder = [&](const std::string& name) {
    fs::create_directory(root / name);
    name_bytes += name.size();
  };
  auto add_file = [&](const std::string& name) {
    Touch(root / name);
    name_bytes += name.size();
  };
  for (const char* name : kReserved) add_folder(name);
  const int rest = entries - 8 - strays;
  for (int i = 0; i < rest; ++i) {
    const unsigned serial = static_cast<unsigned>(i);
    switch (i % 20) {
      case 0:
      case 1:
      case 2:
      case 3:
      case 4:
        add_folder("Catalog-" + std::to_string(i));
        break;
      case 5:
      case 6:
      case 7:
      case 8:
      case 9:
        add_file("oem" + std::to_string(i) + ".cat");
        break;
      case 10:
      case 11:
        add_file(Guid(serial, 1));
        break;
      default:
        add_folder(Guid(serial, 2));
        Touch(root / Guid(serial, 2) / "catalog.cat");
        ++catalog.candidates;
    }
  }
  for (int i = 0; i < strays; ++i) {
    add_folder(Guid(static_cast<unsigned>(i), 3));
    catalog.strays.push_back(root / Guid(static_cast<unsigned>(i), 3));
    ++catalog.candidates;
  }
  return catalog;
}

// Runs the program under strace -c and prints its system calls per candidate.
void PrintSystemCallsPerCandidate(const std::string& program, const fs::path& work,
                                  const Catalog& catalog, int entries) {
  const fs::path summary = work / "strace.txt";
  const std::string command = "strace -f -c -o " + summary.string() + " " + program + " >/dev/null";
  if (std::system(command.c_str()) != 0) {
    std::printf("\n(strace is not installed: no system call counts)\n");
    return;
  }
  std::printf("\nsystem calls per candidate folder (strace -c, %d entries, %d candidates):\n",
              entries, catalog.candidates);
  std::ifstream lines(summary);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string percent, seconds, usecs, calls, maybe_errors, name;
    fields >> percent >> seconds >> usecs >> calls >> maybe_errors >> name;
    if (name.empty()) name = maybe_errors;
    for (const char* call : {"openat", "getdents64", "close", "newfstatat", "fstat"}) {
      if (name == call) {
        std::printf("  %-11s %6.2f\n", call, std::stod(calls) / catalog.candidates);
      }
    }
  }
  std::printf(
      "  (at least an open, two directory reads and a close; a folder that holds\n"
      "   anything is known after the first read)\n");
}

// Runs argv with its output discarded; the wall time and peak memory of the child.
Measure RunOnce(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::fflush(stdout);  // or the child would write this process's pending output again
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s failed\n", argv[0].c_str());
    std::exit(1);
  }
  return {elapsed.count(), usage.ru_maxrss};
}

std::vector<std::string> FindCommand(const fs::path& root) {
  std::vector<std::string> argv = {
      "find",       root.string(),
      "-mindepth",  "1",
      "-maxdepth",  "1",
      "-type",      "d",
      "-regextype", "posix-extended",
      "-iregex",    ".*/\\{[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}\\}"};
  for (const char* name : kReserved) argv.insert(argv.end(), {"!", "-iname", name});
  argv.push_back("-empty");
  return argv;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The median of a[i] / b[i].
double MedianRatio(const std::vector<double>& a, const std::vector<double>& b) {
  std::vector<double> ratios;
  for (std::size_t i = 0; i < a.size(); ++i) ratios.push_back(a[i] / b[i]);
  return Median(ratios);
}

long MaxOf(const std::vector<long>& values) {
  return *std::max_element(values.begin(), values.end());
}

struct Series {
  std::vector<double> seconds;
  std::vector<long> peaks;
  void Add(const Measure& m) {
    seconds.push_back(m.seconds);
    peaks.push_back(m.peak_kib);
  }
};

Options Parse(int argc, char** argv) {
  Options options;
  if (argc < 2) {
    std::fprintf(
        stderr,
        "usage: %s PROGRAM [--runs N] [--sizes A,B,C] [--dir FOLDER] [--floor WALK_FLOOR]\n",
        argv[0]);
    std::exit(2);
  }
  options.program = fs::absolute(argv[1]).string();
  options.floor = (fs::absolute(argv[0]).parent_path() / "walk_floor").string();
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string flag = argv[i], value = argv[i + 1];
    if (flag == "--runs") options.runs = std::stoi(value);
    if (flag == "--dir") options.dir = value;
    if (flag == "--floor") options.floor = fs::absolute(value).string();
    if (flag == "--sizes") {
      options.sizes.clear();
      std::stringstream list(value);
      for (std::string size; std::getline(list, size, ',');)
        options.sizes.push_back(std::stoi(size));
    }
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  const fs::path work = options.dir / ("quarvane-bench-" + std::to_string(getpid()));
  const fs::path system = work / "System32";
  const fs::path bin = work / "bin";
  fs::create_directories(bin);
  fs::create_symlink("/bin/true", bin / "net");  // a stand-in net that exits 0
  setenv("PATH", (bin.string() + ":" + std::getenv("PATH")).c_str(), 1);
  setenv("QUARVANE_SYSTEM_DIR", system.c_str(), 1);
  const std::vector<std::string> program = {options.program};

  MakeCatalog(system / "catroot", 8, 0);
  Series floor;
  for (int i = 0; i < options.runs; ++i) floor.Add(RunOnce(program));
  std::printf("process floor (empty catalog folder): %.2f ms, %ld KiB\n\n",
              Median(floor.seconds) * 1e3, MaxOf(floor.peaks));

  std::printf("%9s %11s %11s %9s %9s %8s %8s %13s %9s\n", "entries", "name bytes", "quarvane ms",
              "floor ms", "find ms", "q/floor", "q/find", "quarvane KiB", "find KiB");
  const std::vector<std::string> walk_floor = {options.floor};
  for (int size : options.sizes) {
    const std::size_t name_bytes = MakeCatalog(system / "catroot", size, 0).name_bytes;
    const std::vector<std::string> find = FindCommand(system / "catroot");
    Series ours, bottom, theirs;
    RunOnce(program);
    RunOnce(walk_floor);
    RunOnce(find);
    for (int i = 0; i < options.runs; ++i) {
      ours.Add(RunOnce(program));
      bottom.Add(RunOnce(walk_floor));
      theirs.Add(RunOnce(find));
    }
    std::printf("%9d %11zu %11.2f %9.2f %9.2f %8.2f %8.2f %13ld %9ld\n", size, name_bytes,
                Median(ours.seconds) * 1e3, Median(bottom.seconds) * 1e3,
                Median(theirs.seconds) * 1e3, MedianRatio(ours.seconds, bottom.seconds),
                MedianRatio(ours.seconds, theirs.seconds), MaxOf(ours.peaks), MaxOf(theirs.peaks));
  }

  const int rename_size = 10000;
  PrintSystemCallsPerCandidate(options.program, work,
                               MakeCatalog(system / "catroot", rename_size, 0), rename_size);

  std::printf("\nwhole run, %d entries, with stray folders renamed:\n", rename_size);
  std::printf("%7s %12s %17s\n", "strays", "quarvane ms", "ms per rename");
  double none = 0;
  for (int strays : {0, 10, 100}) {
    const Catalog catalog = MakeCatalog(system / "catroot", rename_size, strays);
    Series runs;
    for (int i = 0; i <= options.runs; ++i) {
      const Measure m = RunOnce(program);
      if (i > 0) runs.Add(m);  // the first is the warm-up
      for (const fs::path& stray : catalog.strays) fs::rename(stray.string() + ".old", stray);
    }
    const double median = Median(runs.seconds) * 1e3;
    if (strays == 0) none = median;
    std::printf("%7d %12.2f %17s\n", strays, median,
                strays ? std::to_string((median - none) / strays).substr(0, 5).c_str() : "-");
  }
  fs::remove_all(work);
  return 0;
}
