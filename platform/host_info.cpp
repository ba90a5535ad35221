#include "platform/host_info.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "platform/number_parser.h"
#include "platform/text.h"
#include "platform/unique_fd.h"

namespace {

std::string CannotRead(const std::string& path, int err) {
  return "cannot read " + path + ": " + ErrnoText(err);
}

// Reads a whole file from descriptor `fd` into `out`. Returns 0 or an errno.
int ReadAll(int fd, std::string& out) {
  out.clear();
  size_t used = 0;
  out.resize(4096);
  for (;;) {
    if (used == out.size()) out.resize(out.size() * 2);
    const ssize_t n = ::read(fd, out.data() + used, out.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      out.clear();
      return err;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  out.resize(used);
  return 0;
}

// Reads the file at `path` (relative to `dirFd` when that is not AT_FDCWD).
int ReadFileAt(int dirFd, const char* path, std::string& out) {
  UniqueFd fd(::openat(dirFd, path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return errno;
  return ReadAll(fd.get(), out);
}

int ReadFile(const std::string& path, std::string& out) {
  return ReadFileAt(AT_FDCWD, path.c_str(), out);
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() &&
         (s.front() == ' ' || s.front() == '\t' || s.front() == '\n' || s.front() == '\r'))
    s.remove_prefix(1);
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

// A whole number filling `text` apart from surrounding blanks.
template <typename T>
bool ParseNumber(std::string_view text, T& out) {
  std::optional<T> value = ParseDecimal<T>(Trim(text), DecimalForm::kSigned);
  if (value) out = *value;
  return value.has_value();
}

// Splits off the next blank-separated word of `rest`.
std::string_view NextWord(std::string_view& rest) {
  size_t i = 0;
  while (i < rest.size() && (rest[i] == ' ' || rest[i] == '\t')) ++i;
  size_t j = i;
  while (j < rest.size() && rest[j] != ' ' && rest[j] != '\t' && rest[j] != '\n') ++j;
  std::string_view word = rest.substr(i, j - i);
  rest.remove_prefix(j);
  return word;
}

std::string_view NextLine(std::string_view& rest) {
  const size_t nl = rest.find('\n');
  std::string_view line = rest.substr(0, nl);
  rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
  return line;
}

// "major:minor"
bool ParseDevNumbers(std::string_view text, uint32_t& major, uint32_t& minor) {
  text = Trim(text);
  const size_t colon = text.find(':');
  return colon != std::string_view::npos && ParseNumber(text.substr(0, colon), major) &&
         ParseNumber(text.substr(colon + 1), minor);
}

// mountinfo writes blanks, tabs, newlines and backslashes as \ooo.
std::string DecodeOctal(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '3' &&
        text[i + 2] >= '0' && text[i + 2] <= '7' && text[i + 3] >= '0' && text[i + 3] <= '7') {
      out += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                               (text[i + 3] - '0'));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Names in a directory, without . and ..; ENOENT when it does not exist.
int ListDirectory(const std::string& path, std::vector<std::string>& names) {
  names.clear();
  DirPtr dir(::opendir(path.c_str()));
  if (!dir) return errno;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (!entry) {
      if (errno != 0) return errno;
      break;
    }
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.emplace_back(entry->d_name);
  }
  std::sort(names.begin(), names.end());
  return 0;
}

// An optional one-line attribute: empty text when the file does not exist (or,
// with `deniedIsAbsent`, may not be read).
std::string ReadOptionalLine(const std::string& path, std::string& value,
                             bool deniedIsAbsent = false) {
  std::string text;
  const int err = ReadFile(path, text);
  if (err == ENOENT || err == ENOTDIR || (deniedIsAbsent && err == EACCES)) {
    value.clear();
    return std::string();
  }
  if (err != 0) return CannotRead(path, err);
  value.assign(Trim(text));
  return std::string();
}

}  // namespace

std::string HostPath(const std::string& root, std::string_view path) {
  if (root.empty() || root == "/") return std::string(path);
  std::string out = root;
  if (out.back() == '/') out.pop_back();
  out += path;
  return out;
}

std::string ReadMemoryInfo(const std::string& root, MemoryInfo& out) {
  const std::string path = HostPath(root, "/proc/meminfo");
  std::string text;
  if (int err = ReadFile(path, text)) return CannotRead(path, err);
  out = MemoryInfo();
  struct Field {
    std::string_view name;
    uint64_t* value;
    bool seen;
  };
  Field fields[] = {{"MemTotal:", &out.memTotalKb, false},
                    {"MemAvailable:", &out.memAvailableKb, false},
                    {"SwapTotal:", &out.swapTotalKb, false},
                    {"SwapFree:", &out.swapFreeKb, false}};
  std::string_view rest = text;
  while (!rest.empty()) {
    std::string_view line = NextLine(rest);
    std::string_view name = NextWord(line);
    for (Field& f : fields) {
      if (name != f.name) continue;
      std::string_view number = NextWord(line);
      if (!ParseNumber(number, *f.value)) {
        return path + ": malformed " + std::string(name.substr(0, name.size() - 1)) + " line";
      }
      f.seen = true;
    }
  }
  for (const Field& f : fields) {
    if (!f.seen) return path + ": no " + std::string(f.name.substr(0, f.name.size() - 1)) + " line";
  }
  return std::string();
}

std::string ReadProcStat(const std::string& root, ProcStat& out) {
  const std::string path = HostPath(root, "/proc/stat");
  std::string text;
  if (int err = ReadFile(path, text)) return CannotRead(path, err);
  out = ProcStat();
  bool bootSeen = false;
  std::string_view rest = text;
  while (!rest.empty()) {
    std::string_view line = NextLine(rest);
    std::string_view name = NextWord(line);
    if (name.substr(0, 3) == "cpu") {
      CpuTimes t;
      if (name.size() > 3 && !ParseNumber(name.substr(3), t.cpu)) {
        return path + ": malformed processor name " + std::string(name);
      }
      uint64_t* fields[] = {&t.user,   &t.nice, &t.system,  &t.idle,
                            &t.iowait, &t.irq,  &t.softirq, &t.steal};
      for (size_t i = 0; i < 8; ++i) {
        std::string_view word = NextWord(line);
        // Kernels before 2.6.11 write fewer fields; the missing ones count as 0.
        if (word.empty() && i >= 4) break;
        if (!ParseNumber(word, *fields[i]))
          return path + ": malformed " + std::string(name) + " line";
      }
      if ((t.cpu == -1) != out.cpus.empty()) return path + ": the summed cpu line is not first";
      out.cpus.push_back(t);
    } else if (name == "btime") {
      if (!ParseNumber(NextWord(line), out.bootTime)) return path + ": malformed btime line";
      bootSeen = true;
    }
  }
  if (out.cpus.empty()) return path + ": no cpu line";
  if (!bootSeen) return path + ": no btime line";
  return std::string();
}

long ClockTicksPerSecond() {
  static const long ticks = [] {
    const long t = ::sysconf(_SC_CLK_TCK);
    return t > 0 ? t : 100;
  }();
  return ticks;
}

long PageSizeBytes() {
  static const long size = [] {
    const long s = ::sysconf(_SC_PAGESIZE);
    return s > 0 ? s : 4096;
  }();
  return size;
}

bool ParseProcessStat(std::string_view text, ProcessStat& out) {
  // The command name may itself hold blanks and parentheses: it runs from the
  // first '(' to the last ')'.
  const size_t open = text.find('(');
  const size_t close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open)
    return false;
  out = ProcessStat();
  if (!ParseNumber(text.substr(0, open), out.pid)) return false;
  out.comm.assign(text.substr(open + 1, close - open - 1));
  std::string_view rest = text.substr(close + 1);
  // Fields from 3 (state) on; index i here is field i + 3.
  std::string_view words[22];
  for (std::string_view& w : words) {
    w = NextWord(rest);
    if (w.empty()) return false;
  }
  return ParseNumber(words[1], out.ppid) && ParseNumber(words[7], out.minorFaults) &&
         ParseNumber(words[9], out.majorFaults) && ParseNumber(words[11], out.userTicks) &&
         ParseNumber(words[12], out.systemTicks) && ParseNumber(words[17], out.threads) &&
         ParseNumber(words[19], out.startTicks) && ParseNumber(words[20], out.virtualBytes) &&
         ParseNumber(words[21], out.residentPages);
}

std::string ReadProcesses(const std::string& root, std::vector<ProcessStat>& out) {
  out.clear();
  const std::string procPath = HostPath(root, "/proc");
  DirPtr dir(::opendir(procPath.c_str()));
  if (!dir) return CannotRead(procPath, errno);
  const int dirFd = ::dirfd(dir.get());
  std::string text;
  char relative[300];  // a d_name has at most 255 bytes
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (!entry) {
      if (errno != 0) return CannotRead(procPath, errno);
      break;
    }
    const char* name = entry->d_name;
    if (name[0] < '0' || name[0] > '9') continue;
    std::snprintf(relative, sizeof relative, "%s/stat", name);
    const int err = ReadFileAt(dirFd, relative, text);
    // A process that ends while it is listed is simply gone: its directory no
    // longer opens (ENOENT) or its file reads as nothing (ESRCH, or no bytes).
    if (err == ENOENT || err == ESRCH || (err == 0 && text.empty())) continue;
    if (err != 0) return CannotRead(procPath + "/" + relative, err);
    ProcessStat p;
    if (!ParseProcessStat(text, p)) return procPath + "/" + relative + ": malformed";
    out.push_back(std::move(p));
  }
  std::sort(out.begin(), out.end(),
            [](const ProcessStat& a, const ProcessStat& b) { return a.pid < b.pid; });
  return std::string();
}

namespace {

// Inode of the initial process namespace (PROC_PID_INIT_INO of the kernel).
constexpr ino_t kInitialPidNamespace = 0xEFFFFFFC;

// Whether /proc hides processes of other users (hidepid other than 0 or off)
// in the mount table `mountinfo`.
bool HidesProcesses(std::string_view mountinfo) {
  while (!mountinfo.empty()) {
    std::string_view line = NextLine(mountinfo);
    std::string_view rest = line;
    NextWord(rest), NextWord(rest), NextWord(rest), NextWord(rest);
    if (NextWord(rest) != "/proc") continue;
    const size_t at = line.find("hidepid=");
    if (at == std::string_view::npos) continue;
    std::string_view value = line.substr(at + 8);
    value = value.substr(0, value.find_first_of(", \t"));
    if (value != "0" && value != "off") return true;
  }
  return false;
}

// Checked once: the process namespace of a process and the options of its
// /proc do not change while it runs.
bool LoadavgCountsEveryTask() {
  static const bool counts = [] {
    struct stat ns {};
    if (::stat("/proc/self/ns/pid", &ns) != 0 || ns.st_ino != kInitialPidNamespace) return false;
    std::string mountinfo;
    if (ReadFile("/proc/self/mountinfo", mountinfo) != 0) return false;
    return !HidesProcesses(mountinfo);
  }();
  return counts;
}

}  // namespace

bool CountTasks(const std::string& root, TaskCounts& out) {
  out = TaskCounts();
  if (!(root.empty() || root == "/") || !LoadavgCountsEveryTask()) return false;
  DirPtr dir(::opendir("/proc"));
  if (!dir) return false;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (!entry) {
      if (errno != 0) return false;
      break;
    }
    if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9') ++out.processes;
  }
  // "0.20 0.18 0.12 1/80 11206": runnable/all tasks in the fourth field.
  std::string text;
  if (ReadFile("/proc/loadavg", text) != 0) return false;
  std::string_view rest = text;
  NextWord(rest), NextWord(rest), NextWord(rest);
  const std::string_view tasks = NextWord(rest);
  const size_t slash = tasks.find('/');
  return slash != std::string_view::npos && ParseNumber(tasks.substr(slash + 1), out.threads);
}

std::string ReadDiskStats(const std::string& root, std::vector<DiskStats>& out) {
  out.clear();
  const std::string path = HostPath(root, "/proc/diskstats");
  std::string text;
  if (int err = ReadFile(path, text)) return CannotRead(path, err);
  std::string_view rest = text;
  while (!rest.empty()) {
    std::string_view line = NextLine(rest);
    if (Trim(line).empty()) continue;
    DiskStats d;
    std::string_view words[13];
    for (std::string_view& w : words) w = NextWord(line);
    d.name.assign(words[2]);
    uint64_t unused = 0;
    if (!ParseNumber(words[0], d.major) || !ParseNumber(words[1], d.minor) || d.name.empty() ||
        !ParseNumber(words[3], d.readsCompleted) || !ParseNumber(words[4], unused) ||
        !ParseNumber(words[5], d.sectorsRead) || !ParseNumber(words[7], d.writesCompleted) ||
        !ParseNumber(words[9], d.sectorsWritten) || !ParseNumber(words[11], d.inFlight) ||
        !ParseNumber(words[12], d.ioTicksMs)) {
      return path + ": malformed line for " + (d.name.empty() ? "a device" : d.name);
    }
    out.push_back(std::move(d));
  }
  return std::string();
}

namespace {

// The lines of a mountinfo file read from `path`.
std::string ParseMountInfo(std::string_view text, const std::string& path,
                           std::vector<MountEntry>& out) {
  out.clear();
  std::string_view rest = text;
  while (!rest.empty()) {
    std::string_view line = NextLine(rest);
    if (Trim(line).empty()) continue;
    MountEntry m;
    NextWord(line);  // mount id
    NextWord(line);  // parent id
    std::string_view dev = NextWord(line);
    std::string_view mountRoot = NextWord(line);
    std::string_view point = NextWord(line);
    NextWord(line);  // mount options
    // Optional fields up to the lone "-".
    std::string_view word;
    do {
      word = NextWord(line);
    } while (!word.empty() && word != "-");
    std::string_view type = NextWord(line);
    std::string_view source = NextWord(line);
    if (!ParseDevNumbers(dev, m.major, m.minor) || point.empty() || word != "-" || type.empty()) {
      return path + ": malformed line";
    }
    m.root = DecodeOctal(mountRoot);
    m.mountPoint = DecodeOctal(point);
    m.fsType.assign(type);
    m.source = DecodeOctal(source);
    out.push_back(std::move(m));
  }
  return std::string();
}

}  // namespace

std::string ReadMounts(const std::string& root, std::vector<MountEntry>& out) {
  out.clear();
  const std::string path = HostPath(root, "/proc/self/mountinfo");
  std::string text;
  if (int err = ReadFile(path, text)) return CannotRead(path, err);
  return ParseMountInfo(text, path, out);
}

std::string MountTableWatch::Read(std::shared_ptr<const std::vector<MountEntry>>& out) {
  static const std::string path = "/proc/self/mountinfo";
  std::lock_guard<std::mutex> lock(mutex_);
  if (table_) {
    // Marked (POLLPRI, with POLLERR) once after each change since the last poll.
    pollfd p{fd_.get(), POLLPRI, 0};
    const int ready = ::poll(&p, 1, 0);
    if (ready == 0) {
      out = table_;
      return std::string();
    }
    // Changed: read again; after anything else, on a new descriptor.
    if (ready < 0 || (p.revents & POLLPRI) == 0) fd_.Reset();
  }
  table_.reset();
  if (!fd_.valid()) {
    fd_ = UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd_.valid()) return CannotRead(path, errno);
  } else if (::lseek(fd_.get(), 0, SEEK_SET) != 0) {
    const int err = errno;
    fd_.Reset();
    return CannotRead(path, err);
  }
  std::string text;
  if (int err = ReadAll(fd_.get(), text)) {
    fd_.Reset();
    return CannotRead(path, err);
  }
  auto table = std::make_shared<std::vector<MountEntry>>();
  if (std::string e = ParseMountInfo(text, path, *table); !e.empty()) {
    fd_.Reset();
    return e;
  }
  table_ = table;
  out = std::move(table);
  return std::string();
}

std::string ReadPartitionList(const std::string& root, std::vector<PartitionListEntry>& out,
                              bool& found) {
  out.clear();
  found = false;
  const std::string path = HostPath(root, "/proc/partitions");
  std::string text;
  const int err = ReadFile(path, text);
  if (err == ENOENT) return std::string();
  if (err != 0) return CannotRead(path, err);
  found = true;
  std::string_view rest = text;
  NextLine(rest);  // "major minor  #blocks  name"
  while (!rest.empty()) {
    std::string_view line = NextLine(rest);
    if (Trim(line).empty()) continue;
    PartitionListEntry e;
    std::string_view major = NextWord(line), minor = NextWord(line), blocks = NextWord(line);
    e.name.assign(NextWord(line));
    if (!ParseNumber(major, e.major) || !ParseNumber(minor, e.minor) ||
        !ParseNumber(blocks, e.blocks) || e.name.empty()) {
      return path + ": malformed line";
    }
    out.push_back(std::move(e));
  }
  return std::string();
}

namespace {

// The holders/ or slaves/ list of a device; none when the directory is absent.
std::string ReadLinks(const std::string& path, std::vector<std::string>& out) {
  const int err = ListDirectory(path, out);
  if (err == ENOENT) return std::string();
  if (err != 0) return CannotRead(path, err);
  return std::string();
}

// A required number file; `gone` is set when the device directory vanished.
std::string ReadNumberFile(const std::string& path, uint64_t& value, bool* gone) {
  std::string text;
  const int err = ReadFile(path, text);
  if (err == ENOENT && gone) {
    *gone = true;
    return std::string();
  }
  if (err != 0) return CannotRead(path, err);
  if (!ParseNumber(text, value)) return path + ": not a number";
  return std::string();
}

std::string ReadDevFile(const std::string& path, uint32_t& major, uint32_t& minor, bool* gone) {
  std::string text;
  const int err = ReadFile(path, text);
  if (err == ENOENT && gone) {
    *gone = true;
    return std::string();
  }
  if (err != 0) return CannotRead(path, err);
  if (!ParseDevNumbers(text, major, minor)) return path + ": not a major:minor pair";
  return std::string();
}

}  // namespace

std::string ReadBlockDevices(const std::string& root, std::vector<BlockDevice>& out) {
  out.clear();
  const std::string blockPath = HostPath(root, "/sys/block");
  std::vector<std::string> names;
  if (int err = ListDirectory(blockPath, names)) return CannotRead(blockPath, err);
  std::vector<std::string> entries;
  for (const std::string& name : names) {
    const std::string dir = blockPath + "/" + name;
    BlockDevice d;
    d.name = name;
    bool gone = false;
    std::string error = ReadDevFile(dir + "/dev", d.major, d.minor, &gone);
    if (error.empty() && !gone) error = ReadNumberFile(dir + "/size", d.sizeSectors, &gone);
    if (!error.empty()) return error;
    if (gone) continue;  // removed while listed (a detached loop device, an unplugged disk)
    std::string value;
    if (!(error = ReadOptionalLine(dir + "/queue/logical_block_size", value)).empty()) return error;
    if (!value.empty() && (!ParseNumber(value, d.logicalBlockSize) || d.logicalBlockSize == 0)) {
      return dir + "/queue/logical_block_size: not a number";
    }
    if (!(error = ReadOptionalLine(dir + "/removable", value)).empty()) return error;
    d.removable = value == "1";
    if (!(error = ReadOptionalLine(dir + "/device/model", d.model)).empty()) return error;
    if (!(error = ReadOptionalLine(dir + "/dm/name", d.dmName)).empty()) return error;
    if (!(error = ReadOptionalLine(dir + "/md/level", d.mdLevel)).empty()) return error;
    if (!(error = ReadLinks(dir + "/holders", d.holders)).empty()) return error;
    if (!(error = ReadLinks(dir + "/slaves", d.slaves)).empty()) return error;

    // Partitions are the subdirectories named after the device that hold a
    // "partition" file (sda1, nvme0n1p1, md0p1).
    if (int err = ListDirectory(dir, entries)) {
      if (err == ENOENT) continue;
      return CannotRead(dir, err);
    }
    for (const std::string& entry : entries) {
      if (entry.size() <= name.size() || entry.compare(0, name.size(), name) != 0) continue;
      const std::string partDir = dir + "/" + entry;
      std::string number;
      const int err = ReadFile(partDir + "/partition", number);
      if (err == ENOENT || err == ENOTDIR) continue;
      if (err != 0) return CannotRead(partDir + "/partition", err);
      BlockPartition p;
      p.name = entry;
      if (!ParseNumber(number, p.number)) return partDir + "/partition: not a number";
      bool partGone = false;
      error = ReadDevFile(partDir + "/dev", p.major, p.minor, &partGone);
      if (error.empty() && !partGone)
        error = ReadNumberFile(partDir + "/start", p.startSectors, &partGone);
      if (error.empty() && !partGone)
        error = ReadNumberFile(partDir + "/size", p.sizeSectors, &partGone);
      if (error.empty() && !partGone) error = ReadLinks(partDir + "/holders", p.holders);
      if (!error.empty()) return error;
      if (!partGone) d.partitions.push_back(std::move(p));
    }
    std::sort(d.partitions.begin(), d.partitions.end(),
              [](const BlockPartition& a, const BlockPartition& b) { return a.number < b.number; });
    out.push_back(std::move(d));
  }
  return std::string();
}

std::string ReadKernelInfo(const std::string& root, KernelInfo& out) {
  out = KernelInfo();
  if (root.empty() || root == "/") {
    utsname u{};
    if (::uname(&u) != 0) return "uname: " + ErrnoText(errno);
    out.hostName = u.nodename;
    out.release = u.release;
    out.version = u.version;
    out.machine = u.machine;
    return std::string();
  }
  struct Field {
    const char* file;
    std::string* value;
  };
  const Field fields[] = {{"/proc/sys/kernel/hostname", &out.hostName},
                          {"/proc/sys/kernel/osrelease", &out.release},
                          {"/proc/sys/kernel/version", &out.version},
                          {"/proc/sys/kernel/arch", &out.machine}};
  for (const Field& f : fields) {
    const std::string path = HostPath(root, f.file);
    std::string text;
    if (int err = ReadFile(path, text)) return CannotRead(path, err);
    f.value->assign(Trim(text));
  }
  return std::string();
}

OsRelease ParseOsRelease(std::string_view text) {
  OsRelease r;
  r.found = true;
  while (!text.empty()) {
    std::string_view line = Trim(NextLine(text));
    const size_t eq = line.find('=');
    if (line.empty() || line[0] == '#' || eq == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, eq));
    std::string_view raw = Trim(line.substr(eq + 1));
    std::string value;
    if (!raw.empty() && (raw[0] == '"' || raw[0] == '\'')) {
      // Shell-style quoting: a backslash escapes the next character inside "".
      const char quote = raw[0];
      for (size_t i = 1; i < raw.size() && raw[i] != quote; ++i) {
        if (quote == '"' && raw[i] == '\\' && i + 1 < raw.size()) ++i;
        value += raw[i];
      }
    } else {
      value.assign(raw);
    }
    if (key == "PRETTY_NAME") r.prettyName = value;
    if (key == "NAME") r.name = value;
    if (key == "VERSION_ID") r.versionId = value;
  }
  return r;
}

std::string ReadOsRelease(const std::string& root, OsRelease& out) {
  out = OsRelease();
  for (const char* file : {"/etc/os-release", "/usr/lib/os-release"}) {
    const std::string path = HostPath(root, file);
    std::string text;
    const int err = ReadFile(path, text);
    if (err == ENOENT) continue;
    if (err != 0) return CannotRead(path, err);
    out = ParseOsRelease(text);
    return std::string();
  }
  return std::string();
}

std::string ReadMachineInfo(const std::string& root, MachineInfo& out) {
  out = MachineInfo();
  // The DMI files of some machines are readable by root only; the maker is then unknown.
  std::string error =
      ReadOptionalLine(HostPath(root, "/sys/class/dmi/id/sys_vendor"), out.vendor, true);
  if (error.empty())
    error = ReadOptionalLine(HostPath(root, "/sys/class/dmi/id/product_name"), out.product, true);
  return error;
}

std::string ReadFileSystemSpace(const std::string& path, FileSystemSpace& out) {
  struct statvfs s {};
  if (::statvfs(path.c_str(), &s) != 0) return "statvfs " + path + ": " + ErrnoText(errno);
  out.fragmentSize = s.f_frsize;
  out.blocks = s.f_blocks;
  out.freeBlocks = s.f_bfree;
  out.availableBlocks = s.f_bavail;
  return std::string();
}

std::string ReadNetworkInterfaceFiles(const std::string& root, std::vector<NetworkInterface>& out) {
  out.clear();
  const std::string devPath = HostPath(root, "/proc/net/dev");
  std::string text;
  if (int err = ReadFile(devPath, text)) return CannotRead(devPath, err);
  std::string_view rest = text;
  NextLine(rest);  // the two header lines
  NextLine(rest);
  const std::string netPath = HostPath(root, "/sys/class/net/");
  while (!rest.empty()) {
    std::string_view line = NextLine(rest);
    if (Trim(line).empty()) continue;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return devPath + ": malformed line";
    NetworkInterface n;
    n.name.assign(Trim(line.substr(0, colon)));
    std::string_view counters = line.substr(colon + 1);
    uint64_t v[16];
    for (uint64_t& value : v) {
      if (!ParseNumber(NextWord(counters), value))
        return devPath + ": malformed line for " + n.name;
    }
    n.rxBytes = v[0], n.rxPackets = v[1], n.rxErrors = v[2], n.rxDropped = v[3];
    n.txBytes = v[8], n.txPackets = v[9], n.txErrors = v[10], n.txDropped = v[11];

    const std::string dir = netPath + n.name + "/";
    bool gone = false;
    uint64_t number = 0;
    if (std::string e = ReadNumberFile(dir + "ifindex", number, &gone); !e.empty()) return e;
    n.index = static_cast<uint32_t>(number);
    if (std::string e = ReadNumberFile(dir + "type", number, &gone); !e.empty()) return e;
    n.linkType = static_cast<uint32_t>(number);
    if (std::string e = ReadNumberFile(dir + "addr_len", number, &gone); !e.empty()) return e;
    n.addressLength = static_cast<uint32_t>(number);
    if (gone) continue;  // removed after /proc/net/dev was read
    if (std::string e = ReadOptionalLine(dir + "operstate", n.operState); !e.empty()) return e;
    // carrier and speed answer EINVAL while the link is down: not known then.
    std::string value;
    if (ReadFile(dir + "carrier", value) == 0) n.carrier = Trim(value) == "1";
    if (ReadFile(dir + "speed", value) == 0) {
      int64_t speed = -1;
      if (ParseNumber(value, speed) && speed >= 0) n.speedMbps = speed;
    }
    struct stat st;
    n.wireless = ::stat((dir + "wireless").c_str(), &st) == 0 ||
                 ::stat((dir + "phy80211").c_str(), &st) == 0;
    out.push_back(std::move(n));
  }
  return std::string();
}

namespace {

// NLMSG_OK, without the macro's comparison of a signed with an unsigned length.
bool NetlinkMessageFits(const nlmsghdr* h, int left) {
  return left >= static_cast<int>(sizeof(nlmsghdr)) && h->nlmsg_len >= sizeof(nlmsghdr) &&
         h->nlmsg_len <= static_cast<unsigned>(left);
}

// Sends the dump request `request` (a netlink header followed by its message)
// to the kernel's routing socket and hands every answer message of type
// `answer` to `each`. The kernel answers at once; the wait is still bounded by
// a 5-second receive timeout. `what` names the request in error texts.
template <typename Request, typename Each>
std::string NetlinkDump(Request& request, uint16_t answer, const char* what, Each each) {
  UniqueFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (!fd.valid()) return "netlink socket: " + ErrnoText(errno);
  struct timeval timeout {};
  timeout.tv_sec = 5;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = 1;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(fd.get(), &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel),
               sizeof kernel) < 0) {
    return std::string("netlink ") + what + ": " + ErrnoText(errno);
  }
  std::vector<char> buffer(32768);
  for (;;) {
    const ssize_t n = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::string("netlink ") + what + ": " + ErrnoText(errno);
    }
    if (n == 0) return std::string("netlink ") + what + ": the answer ended early";
    int left = static_cast<int>(n);
    for (const nlmsghdr* h = reinterpret_cast<const nlmsghdr*>(buffer.data());
         NetlinkMessageFits(h, left); h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_type == NLMSG_DONE) return std::string();
      if (h->nlmsg_type == NLMSG_ERROR) {
        const auto* e = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
        return std::string("netlink ") + what + ": " + ErrnoText(-e->error);
      }
      if (h->nlmsg_type == answer) each(h);
    }
  }
}

// operstate as /sys/class/net/<name>/operstate names it (IF_OPER_*).
std::string OperStateName(uint8_t state) {
  static const char* const kNames[] = {"unknown", "notpresent", "down", "lowerlayerdown",
                                       "testing", "dormant",    "up"};
  return state < std::size(kNames) ? kNames[state] : std::to_string(state);
}

// The live host's interfaces from one RTM_GETLINK dump, with the same kernel
// facts the files give: the attributes hold what sysfs shows (operstate is
// "down" and carrier unknown while the interface is not up), IFLA_STATS64 the
// counters of /proc/net/dev (whose receive drops add the missed packets).
// Only the speed (for interfaces that are up: it is not known otherwise) and
// whether an Ethernet interface is wireless still come from sysfs.
std::string ReadNetworkInterfacesNetlink(std::vector<NetworkInterface>& out) {
  out.clear();
  struct {
    nlmsghdr header;
    ifinfomsg message;
  } request{};
  request.header.nlmsg_type = RTM_GETLINK;
  request.message.ifi_family = AF_UNSPEC;
  std::string malformed;
  std::vector<bool> isUp;
  std::string error = NetlinkDump(request, RTM_NEWLINK, "RTM_GETLINK", [&](const nlmsghdr* h) {
    if (h->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) {
      malformed = "netlink RTM_GETLINK: a short answer";
      return;
    }
    const auto* m = static_cast<const ifinfomsg*>(NLMSG_DATA(h));
    NetworkInterface n;
    n.index = static_cast<uint32_t>(m->ifi_index);
    n.linkType = m->ifi_type;
    const bool up = (m->ifi_flags & IFF_UP) != 0;
    bool carrier = false, stats = false;
    uint8_t operState = IF_OPER_DOWN;
    int left = static_cast<int>(IFLA_PAYLOAD(h));
    for (const rtattr* a = IFLA_RTA(m); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
      const auto* data = static_cast<const char*>(RTA_DATA(a));
      const size_t size = RTA_PAYLOAD(a);
      switch (a->rta_type) {
        case IFLA_IFNAME:
          n.name.assign(data, strnlen(data, size));
          break;
        case IFLA_ADDRESS:
          n.addressLength = static_cast<uint32_t>(size);
          break;
        case IFLA_OPERSTATE:
          if (size >= 1) operState = static_cast<uint8_t>(data[0]);
          break;
        case IFLA_CARRIER:
          if (size >= 1) carrier = data[0] != 0;
          break;
        case IFLA_STATS64:
          if (size >= sizeof(rtnl_link_stats64)) {
            rtnl_link_stats64 c;
            std::memcpy(&c, data, sizeof c);
            n.rxBytes = c.rx_bytes, n.rxPackets = c.rx_packets, n.rxErrors = c.rx_errors;
            n.rxDropped = c.rx_dropped + c.rx_missed_errors;
            n.txBytes = c.tx_bytes, n.txPackets = c.tx_packets, n.txErrors = c.tx_errors;
            n.txDropped = c.tx_dropped;
            stats = true;
          }
          break;
      }
    }
    if (n.name.empty() || !stats) {
      malformed =
          "netlink RTM_GETLINK: no name or counters for interface " + std::to_string(m->ifi_index);
      return;
    }
    n.operState = OperStateName(operState);
    n.carrier = up && carrier;
    out.push_back(std::move(n));
    isUp.push_back(up);
  });
  if (error.empty()) error = malformed;
  if (!error.empty()) {
    out.clear();
    return error;
  }
  for (size_t i = 0; i < out.size(); ++i) {
    NetworkInterface& n = out[i];
    const bool ether = n.linkType == ARPHRD_ETHER;
    if (!isUp[i] && !ether) continue;
    // The directory is looked up once (it is a link into /sys/devices), its
    // files relative to it.
    const std::string path = "/sys/class/net/" + n.name;
    UniqueFd dir(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) continue;  // removed since the dump
    std::string value;
    if (isUp[i] && ReadFileAt(dir.get(), "speed", value) == 0) {
      int64_t speed = -1;
      if (ParseNumber(value, speed) && speed >= 0) n.speedMbps = speed;
    }
    if (ether) {
      struct stat st;
      n.wireless = ::fstatat(dir.get(), "wireless", &st, 0) == 0 ||
                   ::fstatat(dir.get(), "phy80211", &st, 0) == 0;
    }
  }
  std::sort(out.begin(), out.end(),
            [](const NetworkInterface& a, const NetworkInterface& b) { return a.index < b.index; });
  return std::string();
}

}  // namespace

std::string ReadNetworkInterfaces(const std::string& root, std::vector<NetworkInterface>& out) {
  if (root.empty() || root == "/") return ReadNetworkInterfacesNetlink(out);
  return ReadNetworkInterfaceFiles(root, out);
}

std::string ReadIpv4Addresses(std::vector<Ipv4Address>& out) {
  out.clear();
  struct {
    nlmsghdr header;
    ifaddrmsg message;
  } request{};
  request.header.nlmsg_type = RTM_GETADDR;
  request.message.ifa_family = AF_INET;
  std::string error = NetlinkDump(request, RTM_NEWADDR, "RTM_GETADDR", [&](const nlmsghdr* h) {
    const auto* m = static_cast<const ifaddrmsg*>(NLMSG_DATA(h));
    if (m->ifa_family != AF_INET) return;
    Ipv4Address a;
    a.interfaceIndex = m->ifa_index;
    uint32_t flags = m->ifa_flags;
    const void* local = nullptr;
    const void* address = nullptr;
    int attributesLeft = static_cast<int>(IFA_PAYLOAD(h));
    for (const rtattr* attribute = IFA_RTA(m); RTA_OK(attribute, attributesLeft);
         attribute = RTA_NEXT(attribute, attributesLeft)) {
      if (attribute->rta_type == IFA_LOCAL && RTA_PAYLOAD(attribute) >= 4)
        local = RTA_DATA(attribute);
      if (attribute->rta_type == IFA_ADDRESS && RTA_PAYLOAD(attribute) >= 4)
        address = RTA_DATA(attribute);
      if (attribute->rta_type == IFA_FLAGS && RTA_PAYLOAD(attribute) >= 4)
        std::memcpy(&flags, RTA_DATA(attribute), 4);
    }
    const void* chosen = local ? local : address;
    if (!chosen) return;
    char text[INET_ADDRSTRLEN];
    if (!::inet_ntop(AF_INET, chosen, text, sizeof text)) return;
    a.address = text;
    a.secondary = (flags & IFA_F_SECONDARY) != 0;
    a.permanent = (flags & IFA_F_PERMANENT) != 0;
    out.push_back(std::move(a));
  });
  if (!error.empty()) out.clear();
  return error;
}
