#include "work/log_file_collector.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "platform/log.h"
#include "platform/number_parser.h"
#include "platform/text.h"
#include "platform/unique_fd.h"
#include "work/csv_log_parser.h"
#include "work/postgresql_conf.h"

namespace {

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

bool NameMatches(std::string_view name, LogKind kind) {
  if (kind == LogKind::kAudit) {
    return name.size() >= 10 && name.substr(0, 6) == "audit-" && EndsWith(name, ".csv");
  }
  return name.size() >= 5 && EndsWith(name, ".csv");
}

// Walks the directory open at `fd` (owned by the walk), without following
// symbolic links. `guarded`: a directory above this one may be written by
// others, who may have made this one: its files get the same checks.
void Walk(int fd, const std::string& path, LogKind kind, uid_t trustedOwner, int depth,
          bool guarded, std::vector<LogFileEntry>* files) {
  DirPtr dir(fdopendir(fd));
  if (!dir) {
    close(fd);
    LogMessage(StrFormat(_("cannot read log directory %s: %s; its files are left out"),
                         path.c_str(), std::strerror(errno)),
               LOG_WARNING);
    return;
  }
  struct stat self {};
  const bool othersWrite =
      guarded || fstat(dirfd(dir.get()), &self) != 0 || (self.st_mode & (S_IWOTH | S_IWGRP)) != 0;
  while (dirent* entry = readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (fstatat(dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const std::string full = path + "/" + std::string(name);
    if (S_ISDIR(st.st_mode)) {
      if (depth >= 32) continue;
      const int sub =
          openat(dirfd(dir.get()), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub >= 0) Walk(sub, full, kind, trustedOwner, depth + 1, othersWrite, files);
      continue;
    }
    if (!S_ISREG(st.st_mode)) continue;  // symbolic links, pipes, devices
    const bool matches = NameMatches(name, kind);
    if (othersWrite && (st.st_uid != 0 && st.st_uid != trustedOwner)) {
      if (matches) {
        LogMessage(StrFormat(_("log file %s is left out: it lies in a directory others may write "
                               "to and belongs to neither root nor the log directory's owner"),
                             full.c_str()),
                   LOG_WARNING);
      }
      continue;
    }
    if (othersWrite && st.st_nlink > 1) {
      if (matches) {
        LogMessage(StrFormat(_("log file %s is left out: it lies in a directory others may write "
                               "to and has more than one link"),
                             full.c_str()),
                   LOG_WARNING);
      }
      continue;
    }
    LogFileEntry file;
    file.path = full;
    file.device = static_cast<uint64_t>(st.st_dev);
    file.inode = static_cast<uint64_t>(st.st_ino);
    file.size = static_cast<int64_t>(st.st_size);
    file.matches = matches;
    files->push_back(std::move(file));
  }
}

// Reads one log file in batches: binary, 64-bit offsets, never past the size
// the file had when it was opened (what is written later waits for the next
// run, so a busy server cannot keep a run going for ever).
class LogFileReader {
 public:
  // False with *error when the file cannot be opened or is no longer the file
  // that was listed.
  bool Open(const LogFileEntry& entry, std::string* error) {
    fd = UniqueFd(open(entry.path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
      *error = std::strerror(errno);
      return false;
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_dev) != entry.device ||
        static_cast<uint64_t>(st.st_ino) != entry.inode) {
      *error = _("the file was replaced while it was being listed");
      return false;
    }
    size = static_cast<int64_t>(st.st_size);
    return true;
  }

  int64_t Size() const { return size; }
  // The errno of a failed read (0: none); what Read returned is then partial.
  int ReadError() const { return readError; }

  // Reads records from `offset` (at most `maxRecords`) into *records; *end is
  // the offset after the last one. kEnd: the file (up to its size at opening)
  // holds no further complete record; *unfinished bytes follow *end.
  CsvStop Read(int64_t offset, size_t maxRecords, size_t maxRecordBytes, LogRows* records,
               int64_t* end, int64_t* unfinished) {
    if (offset < bufferStart || offset > bufferStart + static_cast<int64_t>(buffer.size())) {
      buffer.clear();
      bufferStart = offset;
    } else if (offset > bufferStart) {
      buffer.erase(0, static_cast<size_t>(offset - bufferStart));
      bufferStart = offset;
    }
    size_t parsed = 0;  // bytes of `buffer` taken by complete records
    size_t readSize = kChunk;
    for (;;) {
      const std::string_view rest = std::string_view(buffer).substr(parsed);
      // The records of one batch take at most about maxRecordBytes, however
      // long each of them is.
      const int64_t taken = bufferStart + static_cast<int64_t>(parsed) - offset;
      const bool budgetSpent = taken >= static_cast<int64_t>(maxRecordBytes);
      if (!records->empty() && budgetSpent) {
        *end = bufferStart + static_cast<int64_t>(parsed);
        *unfinished = static_cast<int64_t>(buffer.size() - parsed);
        return CsvStop::kFull;
      }
      size_t consumed = 0;
      const CsvStop stop =
          ParseCsvRecords(rest, maxRecords - records->size(), maxRecordBytes, records, &consumed,
                          budgetSpent ? 0 : maxRecordBytes - static_cast<size_t>(taken));
      parsed += consumed;
      *end = bufferStart + static_cast<int64_t>(parsed);
      *unfinished = static_cast<int64_t>(buffer.size() - parsed);
      const int64_t bufferEnd = bufferStart + static_cast<int64_t>(buffer.size());
      if (stop == CsvStop::kTooLong) return stop;
      if (bufferEnd >= size) {
        *unfinished = size - *end;
        return stop;
      }
      if (stop == CsvStop::kFull || records->size() >= maxRecords) return CsvStop::kFull;
      // Drop what was parsed and read more; a long unfinished record doubles
      // the next read so it is scanned only a few times.
      buffer.erase(0, parsed);
      bufferStart += static_cast<int64_t>(parsed);
      parsed = 0;
      if (buffer.size() >= readSize) readSize = buffer.size() * 2;
      const size_t want =
          static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(readSize), size - bufferEnd));
      const size_t old = buffer.size();
      buffer.resize(old + want);
      ssize_t got;
      do {
        got = pread(fd.get(), buffer.data() + old, want, bufferEnd);
      } while (got < 0 && errno == EINTR);
      if (got <= 0) {
        // Shorter than at opening (truncated meanwhile): what was read is all
        // there is this time. A read error is kept for the caller, so that
        // the file is not taken as read to its end.
        if (got < 0) readError = errno;
        buffer.resize(old);
        size = bufferEnd;
        continue;
      }
      buffer.resize(old + static_cast<size_t>(got));
    }
  }

 private:
  static constexpr size_t kChunk = 1u << 20;
  UniqueFd fd;
  int64_t size = 0;
  std::string buffer;  // bytes of the file from bufferStart on
  int64_t bufferStart = 0;
  int readError = 0;
};

}  // namespace

std::vector<LogFileEntry> ListLogFiles(const std::string& directory, LogKind kind,
                                       std::string* error) {
  std::vector<LogFileEntry> files;
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *error = std::strerror(errno);
    return files;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    *error = std::strerror(errno);
    close(fd);
    return files;
  }
  if ((st.st_mode & S_IWOTH) != 0 && (st.st_mode & S_ISVTX) == 0) {
    LogMessage(StrFormat(_("log directory %s may be written by anyone; only files of root or of "
                           "its owner are read"),
                         directory.c_str()),
               LOG_WARNING);
  }
  Walk(fd, directory, kind, st.st_uid, 0, false, &files);
  std::sort(files.begin(), files.end(),
            [](const LogFileEntry& a, const LogFileEntry& b) { return a.path < b.path; });
  return files;
}

bool LogFileCollector::Store(const LogRows& rows, const LogReadPosition& to, std::string* message) {
  const std::string error =
      StoreLogBatch(central, kind, rows, serverId, &position, to, versionCode);
  if (!error.empty()) {
    *message = error;
    return false;
  }
  position = to;
  stored += static_cast<int64_t>(rows.size());
  return true;
}

bool LogFileCollector::ImportFile(const LogFileEntry& file, const std::string& orderName,
                                  int64_t startOffset, bool isLast, std::string* message) {
  LogFileReader reader;
  std::string error;
  if (!reader.Open(file, &error)) {
    LogMessage(StrFormat(_("cannot open log file %s: %s"), file.path.c_str(), error.c_str()),
               LOG_WARNING);
    *message = kind == LogKind::kServer ? _("failed to read the server logs")
                                        : _("failed to read the audit logs");
    return false;
  }
  int64_t offset = startOffset;
  // A negative position other than the -1 handled by the caller cannot be
  // read from either.
  if (offset > reader.Size() || offset < 0) {
    if (offset < 0) {
      LogMessage(StrFormat(_("the stored read position %lld in log file %s is invalid; the file "
                             "is read again from its start"),
                           static_cast<long long>(offset), file.path.c_str()),
                 LOG_WARNING);
    } else {
      LogMessage(StrFormat(_("log file %s holds %lld bytes, fewer than the stored read position "
                             "%lld (it was truncated or its name reused); it is read again from "
                             "its start"),
                           file.path.c_str(), static_cast<long long>(reader.Size()),
                           static_cast<long long>(offset)),
                 LOG_WARNING);
    }
    offset = 0;
    // Stored at once, so the warning is not repeated while no record follows.
    LogReadPosition restart{orderName, 0, file.device, file.inode};
    if (!Store({}, restart, message)) return false;
  }
  LogReadPosition to;
  to.fileName = orderName;
  to.device = file.device;
  to.inode = file.inode;
  for (;;) {
    LogRows records;
    int64_t end = offset;
    int64_t unfinished = 0;
    const CsvStop stop =
        reader.Read(offset, kLogBatchRecords, maxRecordBytes, &records, &end, &unfinished);
    if (reader.ReadError() != 0) {
      // Nothing of this batch is stored: the next run reads it again.
      LogMessage(StrFormat(_("cannot read log file %s: %s"), file.path.c_str(),
                           std::strerror(reader.ReadError())),
                 LOG_WARNING);
      *message = kind == LogKind::kServer ? _("failed to read the server logs")
                                          : _("failed to read the audit logs");
      return false;
    }
    if (stop == CsvStop::kTooLong && records.empty()) {
      // A record that never ends (a quote left open) would hold the rest of
      // the file in memory. Its first line is skipped, so the next run goes
      // on after it instead of failing here for ever.
      *message = StrFormat(_("a record of log file %s at offset %lld is longer than %zu bytes "
                             "without its end; its first line is skipped"),
                           file.path.c_str(), static_cast<long long>(offset), maxRecordBytes);
      LogMessage(*message, LOG_WARNING);
      LogRows none;
      int64_t lineEnd = offset;
      {
        UniqueFd fd(open(file.path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        char chunk[65536];
        int64_t at = offset;
        ssize_t got = 0;
        while (fd.valid() && (got = pread(fd.get(), chunk, sizeof chunk, at)) > 0) {
          const void* lf = std::memchr(chunk, '\n', static_cast<size_t>(got));
          if (lf != nullptr) {
            at += static_cast<const char*>(lf) - chunk + 1;
            break;
          }
          at += got;
        }
        lineEnd = at;
      }
      to.offset = lineEnd;
      std::string storeError;
      if (!Store(none, to, &storeError)) *message += "; " + storeError;
      return false;
    }
    const bool atEnd = stop == CsvStop::kEnd;
    if (atEnd && !isLast && unfinished > 0) {
      // The server writes only its newest file: an unfinished record at the
      // end of an older one will never be finished.
      LogMessage(StrFormat(_("log file %s ends in an unfinished record; its last %lld bytes are "
                             "lost"),
                           file.path.c_str(), static_cast<long long>(unfinished)),
                 LOG_WARNING);
    }
    // The end of a file that is no longer the newest is stored as -1, so the
    // next run goes on with the file after it.
    const bool finished = atEnd && !isLast;
    if (records.empty()) {
      // Only the position moves, past an unfinished tail left behind.
      if (finished && unfinished > 0) {
        to.offset = -1;
        return Store(records, to, message);
      }
      return true;
    }
    to.offset = finished ? -1 : end;
    if (!Store(records, to, message)) return false;
    if (atEnd) return true;
    offset = end;
  }
}

bool LogFileCollector::Run(const std::string& arguments, std::string* message) {
  stored = 0;
  std::vector<std::string> values;
  if (!SplitTaskArguments(arguments, 3, values)) {
    *message = StrFormat(_("invalid arguments of the log collection: %s"), arguments.c_str());
    return false;
  }
  const std::string& dataDirectory = values[0];
  // The server id goes into statements: a number, or the task fails.
  const std::optional<int32_t> id =
      values[1].empty() || values[1][0] == '+' ? std::nullopt : ParseDecimal<int32_t>(values[1]);
  if (!id) {
    *message = StrFormat(_("invalid server id '%s'"), ToValidUtf8(values[1]).c_str());
    return false;
  }
  serverId = *id;
  if (values[2].empty()) {
    versionCode = 0;
  } else if (std::optional<int32_t> code = ParseDecimal<int32_t>(values[2])) {
    versionCode = *code;
  } else {
    *message = StrFormat(_("invalid version code '%s'"), ToValidUtf8(values[2]).c_str());
    return false;
  }

  const char* query =
      kind == LogKind::kServer
          ? "SELECT log_directory, last_read_filename, file_offset, last_read_device, "
            "last_read_inode FROM varo.log_configuration WHERE server_id = $1"
          : "SELECT azu_audit_directory, last_read_filename, file_offset, last_read_device, "
            "last_read_inode FROM varo.audit_configuration WHERE server_id = $1";
  std::unique_ptr<ResultSet> row = central.ExecuteQuery(query, {std::to_string(serverId)});
  if (!row->IsOk()) {
    *message = row->GetErrorMessage();
    LogMessage(StrFormat(_("failed to execute query, with error: = %s"), message->c_str()),
               LOG_WARNING);
    return false;
  }
  if (row->GetRowCount() == 0) {
    LogMessage(
        StrFormat(_("server %d has no log collection settings; nothing is imported"), serverId),
        LOG_DEBUG1);
    return true;
  }
  const std::string directoryName = row->GetValueByIndex(0, 0);
  position.fileName = row->GetValueByIndex(0, 1);
  position.offset = ParseDecimal<int64_t>(row->GetValueByIndex(0, 2)).value_or(0);
  position.device =
      static_cast<uint64_t>(ParseDecimal<int64_t>(row->GetValueByIndex(0, 3)).value_or(0));
  position.inode =
      static_cast<uint64_t>(ParseDecimal<int64_t>(row->GetValueByIndex(0, 4)).value_or(0));
  if (directoryName.empty()) {
    // Not the whole data directory: nothing is configured yet.
    LogMessage(StrFormat(_("server %d has no log directory set; nothing is imported"), serverId),
               LOG_DEBUG1);
    return true;
  }
  std::string directory;
  if (directoryName[0] == '/') {
    directory = directoryName;
  } else if (dataDirectory.empty()) {
    *message = _("the log collection needs the server's data directory");
    return false;
  } else {
    directory = dataDirectory + "/" + directoryName;
  }
  struct stat st {};
  if (stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    LogMessage(
        StrFormat(_("log directory %s does not exist; nothing is imported"), directory.c_str()),
        LOG_DEBUG1);
    return true;
  }
  std::string error;
  std::vector<LogFileEntry> all = ListLogFiles(directory, kind, &error);
  if (!error.empty()) {
    LogMessage(StrFormat(_("cannot read log directory %s: %s"), directory.c_str(), error.c_str()),
               LOG_WARNING);
    *message = kind == LogKind::kServer ? _("failed to read the server logs")
                                        : _("failed to read the audit logs");
    return false;
  }
  std::vector<const LogFileEntry*> matched;
  for (const LogFileEntry& file : all) {
    if (file.matches) matched.push_back(&file);
  }

  // Where the last run stopped: the file with the stored identity, wherever
  // it lies now (renamed files included), else the file of the stored name.
  const LogFileEntry* resume = nullptr;
  const std::string& storedName = position.fileName;
  const bool hasIdentity = position.device != 0 || position.inode != 0;
  if (!storedName.empty()) {
    for (const LogFileEntry& file : all) {
      // A file of the pattern that sorts after the stored one is a newer file,
      // even when it got the inode of a file removed since.
      const bool same = hasIdentity
                            ? file.device == position.device && file.inode == position.inode &&
                                  (!file.matches || file.path <= storedName)
                            : file.matches && file.path == storedName;
      if (same) {
        resume = &file;
        break;
      }
    }
    if (resume == nullptr && position.offset != -1) {
      LogMessage(StrFormat(_("log file %s was removed or replaced before the import saw its end: "
                             "anything written to it after byte %lld is lost"),
                           storedName.c_str(), static_cast<long long>(position.offset)),
                 LOG_WARNING);
      // Marked as read to its end, so the loss is reported once.
      LogReadPosition done = position;
      done.offset = -1;
      if (!Store({}, done, message)) return false;
    }
  }
  const LogFileEntry* last = matched.empty() ? nullptr : matched.back();
  if (resume != nullptr && position.offset != -1) {
    if (!ImportFile(*resume, storedName, position.offset, resume == last, message)) return false;
  }
  // Then every file after it in name order (a file now under the stored name
  // but with another identity is a new file).
  for (const LogFileEntry* file : matched) {
    if (file == resume) continue;
    if (!storedName.empty() && file->path < storedName) continue;
    if (!ImportFile(*file, file->path, 0, file == last, message)) return false;
  }
  LogMessage(StrFormat(_("log collection of server %d stored %lld records"), serverId,
                       static_cast<long long>(stored)),
             LOG_DEBUG1);
  return true;
}
