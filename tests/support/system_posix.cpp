// The test support's system pieces on POSIX: temporary folders, folder
// listings and programs run as child processes.
#include <dirent.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <stdexcept>

#include "support/test_support.h"

namespace tonvell::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tonvell-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Make read-only folders writable again so everything can go.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec)) ::chmod(it->path().c_str(), 0755);
  }
  ::chmod(path_.c_str(), 0755);
  std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> midiFilesIn(const std::string& folder) {
  std::vector<std::string> paths;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".mid") == 0) paths.push_back(folder + "/" + name);
    }
    closedir(dir);
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

const bool kRenderBuilt = true;
const bool kPosixSystem = true;

bool fileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

double threadCpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& input, const std::string& cwd,
                         const std::vector<std::string>& env) {
  int in[2], out[2], err[2];
  if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (const int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) ::close(fd);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
    for (const std::string& e : env) {
      const std::size_t eq = e.find('=');
      if (eq == std::string::npos)
        ::unsetenv(e.c_str());
      else
        ::setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  ProcessResult result;
  std::size_t written = 0;
  int toChild = in[1];
  if (input.empty()) {
    ::close(toChild);
    toChild = -1;
  }
  int fromOut = out[0], fromErr = err[0];
  ::signal(SIGPIPE, SIG_IGN);
  while (fromOut >= 0 || fromErr >= 0) {
    pollfd fds[3];
    nfds_t n = 0;
    if (fromOut >= 0) fds[n++] = {fromOut, POLLIN, 0};
    if (fromErr >= 0) fds[n++] = {fromErr, POLLIN, 0};
    if (toChild >= 0) fds[n++] = {toChild, POLLOUT, 0};
    if (::poll(fds, n, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (nfds_t i = 0; i < n; ++i) {
      if (!fds[i].revents) continue;
      if (fds[i].fd == toChild) {
        const ssize_t w = ::write(toChild, input.data() + written, input.size() - written);
        if (w > 0) written += static_cast<std::size_t>(w);
        if (w < 0 || written == input.size()) {
          ::close(toChild);
          toChild = -1;
        }
        continue;
      }
      char buffer[4096];
      const ssize_t r = ::read(fds[i].fd, buffer, sizeof buffer);
      std::string& sink = fds[i].fd == fromOut ? result.out : result.err;
      if (r > 0) {
        sink.append(buffer, static_cast<std::size_t>(r));
      } else {
        ::close(fds[i].fd);
        (fds[i].fd == fromOut ? fromOut : fromErr) = -1;
      }
    }
  }
  if (toChild >= 0) ::close(toChild);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace tonvell::test
