#include "harness.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

RunResult runMiniunz(const std::vector<std::string> &args, const std::string &cwd,
                     const RunOptions &options) {
  std::vector<char *> argv{const_cast<char *>(options.program.c_str())};
  for (const std::string &a : args)
    argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  int in[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("runMiniunz: pipe2 failed");
  pid_t pid = fork();
  if (pid < 0)
    throw std::runtime_error("runMiniunz: fork failed");
  if (pid == 0) {
    int devNull = open("/dev/null", O_WRONLY);
    if (chdir(cwd.c_str()) != 0 || devNull < 0 || dup2(in[0], 0) < 0 || dup2(devNull, 1) < 0 ||
        dup2(err[1], 2) < 0)
      _exit(126);
    umask(options.umask);
    if (options.fileSizeLimit != RLIM_INFINITY) {
      struct rlimit limit = {options.fileSizeLimit, options.fileSizeLimit};
      signal(SIGXFSZ, SIG_IGN); // stays ignored across exec
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.openFilesLimit != RLIM_INFINITY) {
      struct rlimit limit = {options.openFilesLimit, options.openFilesLimit};
      setrlimit(RLIMIT_NOFILE, &limit);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(err[1]);
  RunResult result;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  char buf[4096];
  for (;;) {
    struct pollfd p = {err[0], POLLIN, 0};
    int ready = poll(&p, 1, 200);
    if (ready > 0) {
      ssize_t n = read(err[0], buf, sizeof buf);
      if (n <= 0)
        break; // the program and its stderr are gone
      result.err.append(buf, (size_t)n);
    } else if (ready < 0 && errno != EINTR) {
      break;
    } else if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      result.err += "\n[runMiniunz: killed after 60 s; waiting for input?]";
      break;
    }
  }
  int status = 0;
  struct rusage usage {};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  close(in[1]);
  close(err[0]);
  if (WIFEXITED(status))
    result.exitCode = WEXITSTATUS(status);
  result.maxRssKiB = usage.ru_maxrss;
  return result;
}

Workspace::Workspace()
    : root(scratchDir()), zip(root + "/image.zip"), out(root + "/out"), outside(root + "/outside") {
  std::filesystem::create_directory(outside);
}

RunResult Workspace::unpack(bool overwrite, const RunOptions &options) const {
  std::vector<std::string> args;
  if (overwrite)
    args.push_back("-o");
  args.insert(args.end(), {zip, "-d", out});
  return runMiniunz(args, root, options);
}

std::set<std::string> Workspace::outsideTarget() const {
  namespace fs = std::filesystem;
  std::set<std::string> seen;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::end(it); ++it) {
    std::string path = it->path().string();
    if (path == out || path.starts_with(out + "/")) {
      if (path == out)
        it.disable_recursion_pending();
      continue;
    }
    std::string line = path + " mode " + std::to_string(modeOf(path));
    if (it->is_symlink())
      line += " -> " + fs::read_symlink(it->path()).string();
    else if (it->is_regular_file())
      line += " = " + readFile(path);
    seen.insert(line);
  }
  return seen;
}

unsigned modeOf(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

std::string noise(size_t size, unsigned seed) {
  std::string s(size, '\0');
  for (char &c : s) {
    seed = seed * 1103515245u + 12345u;
    c = (char)(seed >> 16);
  }
  return s;
}
