#include "support/test_support.h"

#include <dirent.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "convert/run.h"
#include "mfi/translate.h"
#include "smf/split.h"

namespace tonvell::test {

Bytes hex(const std::string& text) {
  Bytes out;
  int nibbles = 0;
  int value = 0;
  for (const char c : text) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else continue;
    value = value * 16 + v;
    if (++nibbles == 2) {
      out.push_back(static_cast<std::uint8_t>(value));
      nibbles = 0;
      value = 0;
    }
  }
  if (nibbles) throw std::invalid_argument("odd hex digits");
  return out;
}

std::string hexOf(const std::uint8_t* data, std::size_t size) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (std::size_t i = 0; i < size; ++i) {
    if (i) s += ' ';
    s += digits[data[i] >> 4];
    s += digits[data[i] & 15];
  }
  return s;
}

std::string hexOf(const Bytes& bytes) { return hexOf(bytes.data(), bytes.size()); }

std::string toString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

Bytes varLen(std::uint32_t value) {
  Bytes out;
  out.push_back(static_cast<std::uint8_t>(value & 0x7F));
  while (value >>= 7) out.insert(out.begin(), static_cast<std::uint8_t>((value & 0x7F) | 0x80));
  return out;
}

Bytes smfHeader(int format, int tracks, int division) {
  return Bytes{'M', 'T', 'h', 'd', 0, 0, 0, 6,
               static_cast<std::uint8_t>(format >> 8), static_cast<std::uint8_t>(format),
               static_cast<std::uint8_t>(tracks >> 8), static_cast<std::uint8_t>(tracks),
               static_cast<std::uint8_t>(division >> 8), static_cast<std::uint8_t>(division)};
}

Bytes track(const Bytes& events) {
  const auto n = static_cast<std::uint32_t>(events.size());
  Bytes out{'M', 'T', 'r', 'k', static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
            static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
  out.insert(out.end(), events.begin(), events.end());
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

static void putU16(Bytes& b, std::size_t v) {
  b.push_back(static_cast<std::uint8_t>(v >> 8));
  b.push_back(static_cast<std::uint8_t>(v));
}
static void putU32(Bytes& b, std::size_t v) {
  putU16(b, v >> 16);
  putU16(b, v & 0xFFFF);
}

Bytes mfiFile(const std::vector<std::string>& tracks, bool noteChunk, const Bytes& extraChunks) {
  Bytes info = hex("76 65 72 73 00 04 30 32 30 30");  // "vers" "0200"
  if (noteChunk) info = concat({info, hex("6E 6F 74 65 00 02 00 01")});
  info = concat({info, extraChunks});
  Bytes body;
  putU16(body, 3 + info.size());
  body = concat({body, hex("01 01"), Bytes{static_cast<std::uint8_t>(tracks.size())}, info});
  for (const std::string& t : tracks) {
    const Bytes events = hex(t);
    body = concat({body, hex("74 72 61 63")});
    putU32(body, events.size());
    body = concat({body, events});
  }
  Bytes file = hex("6D 65 6C 6F");
  putU32(file, body.size());
  return concat({file, body});
}

Bytes workedExample() {
  return concat({smfHeader(1, 3, 480),
                 track(hex("00 FF 03 04 53 6F 6E 67  00 FF 51 03 07 A1 20  83 60 FF 51 03 06 1A 80  00 FF 2F 00")),
                 track(hex("00 C0 00  00 90 3C 64  83 60 3C 00  00 FF 2F 00")),
                 track(hex("00 FF 03 05 50 69 61 6E 6F  00 B1 07 64  81 70 91 40 50  81 70 81 40 40  00 FF 2F 00"))});
}

ConvertResult analyseSmf(PassContext& pass) {
  const ConvertResult code = splitChannels(pass);
  return code == result::kSuccess ? translateChannels(pass) : code;
}

ConvertResult convertBytes(const Bytes& input, Bytes* out, const ConverterSettings& settings, TraceChannel* trace,
                           CalendarDate date) {
  ConversionResult r = convertMidi(input, conversionOptions(settings), date, trace);
  if (r.code == result::kSuccess && out) *out = std::move(r.mfi);
  return r.code;
}

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

void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

Bytes readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

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
