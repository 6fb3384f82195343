// SPDX-License-Identifier: MIT
// The mount command: an archive served read-only through FUSE as the tree extract
// writes, <Type>/<ID>.bin, with files read on demand through a shared bounded cache.
#include <fuse_lowlevel.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include "archive.hpp"
#include "command_line.hpp"
#include "file_cache.hpp"
#include "shared_blocks.hpp"
#include "standard_output.hpp"
#include "table.hpp"

namespace marrowvane_dat::cli {
namespace {

// Room for the files being read without holding a large archive in memory.
constexpr std::uint64_t DEFAULT_CACHE_SIZE = std::uint64_t{256} << 20;
// Inode numbers: the root, then one per type directory, then one per file at this
// base plus its id, so that an inode names its file without any table.
constexpr fuse_ino_t ROOT_INODE = FUSE_ROOT_ID;
constexpr fuse_ino_t FILE_INODE_BASE = fuse_ino_t{1} << 32;
// Nothing in the tree ever changes while it is mounted.
constexpr double FOREVER = 86400.0 * 365;

struct MountOptions {
  std::string archive;
  std::string mountpoint;
  bool foreground = false;
  std::uint64_t cache_size = DEFAULT_CACHE_SIZE;
  bool allow_shared_blocks = false;
};

// Every request ends in a reply; memory running out is one the kernel can pass on.
template <class F>
void guarded(fuse_req_t req, F&& f) {
  try {
    f();
  } catch (const std::bad_alloc&) {
    fuse_reply_err(req, ENOMEM);
  } catch (...) {
    fuse_reply_err(req, EIO);
  }
}

// Threads for the requests that may have to wait, on the disk or on decoding a file.
// The loop that takes requests from the kernel answers everything else itself: handing
// each request to another thread costs a wake-up, which is most of what a read from
// memory or the page cache costs.
class Workers {
 public:
  // Starts `count` threads.
  explicit Workers(unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
      threads_.emplace_back([this] { work(); });
    }
  }
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;
  // Runs what is still queued, then ends the threads.
  ~Workers() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    ready_.notify_all();
    threads_.clear();
  }

  // Runs `task` on one of the threads, after those queued before it have started.
  void run(std::move_only_function<void()> task) {
    {
      const std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    ready_.notify_one();
  }

 private:
  void work() {
    for (;;) {
      std::move_only_function<void()> task;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) {
          return;
        }
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::move_only_function<void()>> tasks_;
  bool stopping_ = false;
  // Last, so the threads are joined before what they use goes.
  std::vector<std::jthread> threads_;
};

// One type directory: its name and its files' ids in id order.
struct TypeDir {
  std::string_view name;
  std::vector<std::uint32_t> ids;
};

// An open file: its id and its cache slot, which keeps its content while it is open.
struct OpenFile {
  std::uint32_t id;
  // Its directory entry, looked up once at open rather than on every read.
  const DatFileEntry& entry;
  std::shared_ptr<FileCache::Slot> slot;
};

// The mounted archive: the tree, the cache, and the damage already reported.
class MountedArchive {
 public:
  // `payloads`, when given, reads the same archive file as `archive`.
  MountedArchive(Archive archive, std::unique_ptr<ArchiveSource> payloads,
                 const MountOptions& options, time_t archive_time)
      : archive_(std::move(archive)),
        payloads_(std::move(payloads)),
        archive_time_(archive_time),
        shared_(options.allow_shared_blocks ? std::map<std::uint32_t, std::uint32_t>{}
                                            : find_shared_blocks(archive_.db)),
        cache_(options.cache_size, [this](std::uint32_t id) { return load(id); }) {
    std::map<std::string_view, std::vector<std::uint32_t>> by_type;
    for (const DatFileEntry& e : archive_.db.entries()) {
      by_type[archive_.type_name_of(e.id)].push_back(e.id);
    }
    for (auto& [name, ids] : by_type) {
      types_.push_back({name, std::move(ids)});
    }
  }

  // Answers with the entry `name` names in directory `parent`, or ENOENT / ENOTDIR.
  void lookup(fuse_req_t req, fuse_ino_t parent, std::string_view name) const {
    fuse_entry_param entry{};
    if (parent == ROOT_INODE) {
      const auto it = std::ranges::find(types_, name, &TypeDir::name);
      if (it == types_.end()) {
        fuse_reply_err(req, ENOENT);
        return;
      }
      entry.ino = dir_inode(static_cast<std::size_t>(it - types_.begin()));
    } else if (const TypeDir* dir = type_dir(parent)) {
      const auto id = id_of_name(name);
      if (!id || !std::ranges::binary_search(dir->ids, *id)) {
        fuse_reply_err(req, ENOENT);
        return;
      }
      entry.ino = FILE_INODE_BASE + *id;
    } else {
      fuse_reply_err(req, ENOTDIR);
      return;
    }
    entry.attr = attributes(entry.ino);
    entry.attr_timeout = FOREVER;
    entry.entry_timeout = FOREVER;
    fuse_reply_entry(req, &entry);
  }

  // Answers with the attributes of `ino`, or ENOENT.
  void getattr(fuse_req_t req, fuse_ino_t ino) const {
    if (!exists(ino)) {
      fuse_reply_err(req, ENOENT);
      return;
    }
    const struct stat st = attributes(ino);
    fuse_reply_attr(req, &st, FOREVER);
  }

  // Answers with as many of the directory's entries from `offset` on as fit in `size`.
  void readdir(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t offset) const {
    if (ino != ROOT_INODE && type_dir(ino) == nullptr) {
      fuse_reply_err(req, exists(ino) ? ENOTDIR : ENOENT);
      return;
    }
    std::vector<char> buf(size);
    std::size_t used = 0;
    // Entry n of the listing is ".", "..", then the children; its offset is n + 1.
    const auto add = [&](std::string_view name, fuse_ino_t child, off_t next) {
      struct stat st {};
      st.st_ino = child;
      st.st_mode = child >= FILE_INODE_BASE ? S_IFREG : S_IFDIR;
      const std::string name_z(name);
      const std::size_t need =
          fuse_add_direntry(req, buf.data() + used, size - used, name_z.c_str(), &st, next);
      if (need > size - used) {
        return false;
      }
      used += need;
      return true;
    };
    const TypeDir* dir = type_dir(ino);
    const std::size_t children = dir != nullptr ? dir->ids.size() : types_.size();
    for (std::size_t n = static_cast<std::size_t>(offset); n < children + 2; ++n) {
      const off_t next = static_cast<off_t>(n + 1);
      bool added = false;
      if (n < 2) {
        added = add(n == 0 ? "." : "..", n == 0 ? ino : ROOT_INODE, next);
      } else if (dir != nullptr) {
        const std::uint32_t id = dir->ids[n - 2];
        added = add(entry_file_name(id), FILE_INODE_BASE + id, next);
      } else {
        added = add(types_[n - 2].name, dir_inode(n - 2), next);
      }
      if (!added) {
        break;
      }
    }
    fuse_reply_buf(req, buf.data(), used);
  }

  // Opens a file for reading (EROFS for any write access), pinning its cache slot;
  // nothing is read until the first read.
  void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    if (ino < FILE_INODE_BASE || !exists(ino)) {
      fuse_reply_err(req, exists(ino) ? EISDIR : ENOENT);
      return;
    }
    if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC) != 0) {
      fuse_reply_err(req, EROFS);
      return;
    }
    const auto id = static_cast<std::uint32_t>(ino - FILE_INODE_BASE);
    auto file = std::make_unique<OpenFile>(OpenFile{id, *archive_.db.find(id), cache_.slot(id)});
    // The archive never changes while mounted, so what the kernel cached stays true.
    fi->keep_cache = 1;
    // The kernel hands this back on every read and on release, which deletes it.
    fi->fh = reinterpret_cast<std::uint64_t>(file.get());
    if (fuse_reply_open(req, fi) == 0) {
      (void)file.release();
    }
  }

  // Answers with the file's bytes at [offset, offset + size), fewer at its end, or
  // EIO (reported once per file) when the file is damaged: at once when memory or the
  // page cache holds what the answer needs, else from a worker thread.
  void read(fuse_req_t req, std::size_t size, off_t offset, const fuse_file_info* fi) {
    const auto* file = reinterpret_cast<const OpenFile*>(fi->fh);
    if (serve(req, size, offset, *file, Waiting::refused)) {
      return;
    }
    workers_->run([this, req, size, offset, file] {
      guarded(req, [&] { (void)serve(req, size, offset, *file, Waiting::allowed); });
    });
  }

  // Starts the threads that serve reads which may wait; before serving any request,
  // and in the process that serves.
  void start_workers() {
    workers_ =
        std::make_unique<Workers>(std::clamp(2 * std::thread::hardware_concurrency(), 4U, 16U));
  }
  // Finishes the reads the workers were given and ends their threads.
  void stop_workers() { workers_.reset(); }

  // Answers with the block size and the number of files and folders.
  void statfs(fuse_req_t req) const {
    struct statvfs st {};
    st.f_bsize = archive_.db.header().block_size;
    st.f_frsize = st.f_bsize;
    st.f_files = archive_.db.files().size() + types_.size() + 1;
    st.f_namemax = 255;
    fuse_reply_statfs(req, &st);
  }

 private:
  static fuse_ino_t dir_inode(std::size_t index) { return ROOT_INODE + 1 + index; }

  const TypeDir* type_dir(fuse_ino_t ino) const {
    if (ino <= ROOT_INODE || ino >= FILE_INODE_BASE || ino - ROOT_INODE - 1 >= types_.size()) {
      return nullptr;
    }
    return &types_[ino - ROOT_INODE - 1];
  }

  bool exists(fuse_ino_t ino) const {
    return ino == ROOT_INODE || type_dir(ino) != nullptr ||
           (ino >= FILE_INODE_BASE && ino - FILE_INODE_BASE <= UINT32_MAX &&
            archive_.db.find(static_cast<std::uint32_t>(ino - FILE_INODE_BASE)) != nullptr);
  }

  // The id a name in a type directory stands for, when it is exactly the name
  // extract would give that id.
  static std::optional<std::uint32_t> id_of_name(std::string_view name) {
    std::uint32_t id = 0;
    const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), id, 16);
    if (ec != std::errc{} || end - name.data() != 8 || entry_file_name(id) != name) {
      return std::nullopt;
    }
    return id;
  }

  struct stat attributes(fuse_ino_t ino) const {
    struct stat st {};
    st.st_ino = ino;
    st.st_uid = getuid();
    st.st_gid = getgid();
    st.st_blksize = 1 << 17;
    if (ino < FILE_INODE_BASE) {
      st.st_mode = S_IFDIR | 0555;
      st.st_nlink = ino == ROOT_INODE ? 2 + types_.size() : 2;
      st.st_atime = st.st_mtime = st.st_ctime = archive_time_;
      return st;
    }
    const auto id = static_cast<std::uint32_t>(ino - FILE_INODE_BASE);
    const DatFileEntry& e = *archive_.db.find(id);
    st.st_mode = S_IFREG | 0444;
    st.st_nlink = 1;
    // A size that cannot be read still must not make the file look empty: the stored
    // size stands in for it, and reading the file fails.
    const auto bound = archive_.db.file_size_bound(id);
    st.st_size = static_cast<off_t>(bound ? *bound : e.size);
    st.st_blocks = (st.st_size + 511) / 512;
    st.st_atime = st.st_mtime = st.st_ctime = static_cast<time_t>(e.timestamp);
    return st;
  }

  // What reads of `id` need, or why it cannot be read.
  FileContent load(std::uint32_t id) const {
    FileContent content;
    content.compressed = archive_.db.find(id)->is_compressed();
    if (const auto owner = shared_.find(id); owner != shared_.end()) {
      content.error = archive_.name + ": file " + id_text(id) + " " +
                      shared_blocks_text(id, owner->second) +
                      " (--allow-shared-blocks serves it anyway)";
    } else if (content.compressed) {
      if (auto read = archive_.db.get_file_into(id, content.bytes); !read) {
        content.error = file_error_text(archive_, id, read.error());
      }
      content.bytes.shrink_to_fit();
    } else {
      content.chain = std::make_unique<PlainChain>(
          archive_.db, payloads_.get(), id,
          [this, id](const DatError& error) { return file_error_text(archive_, id, error); });
    }
    return content;
  }

  // Sends a read's pieces as they lie, or gathered into one buffer when there are more
  // than one write can take.
  static void reply_pieces(fuse_req_t req, const ReadPieces& pieces) {
    thread_local std::vector<iovec> vectors;
    thread_local std::vector<std::uint8_t> joined;
    if (pieces.size() < IOV_MAX) {
      vectors.clear();
      for (const auto piece : pieces) {
        vectors.push_back({const_cast<std::uint8_t*>(piece.data()), piece.size()});
      }
      fuse_reply_iov(req, vectors.data(), static_cast<int>(vectors.size()));
      return;
    }
    joined.clear();
    for (const auto piece : pieces) {
      joined.insert(joined.end(), piece.begin(), piece.end());
    }
    fuse_reply_buf(req, reinterpret_cast<const char*>(joined.data()), joined.size());
  }

  // Answers a read as read() promises; false, having answered nothing, when that would
  // mean waiting and `waiting` refuses it.
  bool serve(fuse_req_t req, std::size_t size, off_t offset, const OpenFile& file,
             Waiting waiting) {
    // Making a plain file's content reads nothing; a compressed one is decoded.
    const bool may_load = waiting == Waiting::allowed || !file.entry.is_compressed();
    const FileContent* content =
        may_load ? &cache_.content(file.id, *file.slot) : FileCache::loaded(*file.slot);
    if (content == nullptr) {
      return false;
    }
    if (!content->error.empty()) {
      report_once(file.id, content->error);
      fuse_reply_err(req, EIO);
      return true;
    }
    const std::uint64_t length = content->compressed ? content->bytes.size() : file.entry.size;
    const auto from = static_cast<std::uint64_t>(offset);
    if (from >= length || size == 0) {
      fuse_reply_buf(req, nullptr, 0);
      return true;
    }
    const std::size_t count =
        static_cast<std::size_t>(std::min<std::uint64_t>(size, length - from));
    if (content->compressed) {
      fuse_reply_buf(req, reinterpret_cast<const char*>(content->bytes.data() + from), count);
      return true;
    }
    thread_local ReadPieces pieces;
    pieces.clear();
    const auto read = content->chain->read(from, count, pieces, waiting);
    if (!read) {
      report_once(file.id, read.error());
      fuse_reply_err(req, EIO);
      return true;
    }
    if (*read == Served::would_wait) {
      return false;
    }
    reply_pieces(req, pieces);
    return true;
  }

  void report_once(std::uint32_t id, const std::string& message) {
    const std::lock_guard lock(reported_mutex_);
    if (reported_.insert(id).second) {
      report_error(message);
    }
  }

  Archive archive_;
  std::unique_ptr<ArchiveSource> payloads_;
  time_t archive_time_;
  std::vector<TypeDir> types_;
  // Entries whose chains reuse an earlier entry's blocks, and that entry.
  std::map<std::uint32_t, std::uint32_t> shared_;
  FileCache cache_;
  std::mutex reported_mutex_;
  std::set<std::uint32_t> reported_;
  // Last, so that reads still running end before what they use goes.
  std::unique_ptr<Workers> workers_;
};

MountedArchive& mounted(fuse_req_t req) {
  return *static_cast<MountedArchive*>(fuse_req_userdata(req));
}

void refuse_write(fuse_req_t req) {
  fuse_reply_err(req, EROFS);
}

fuse_lowlevel_ops operations() {
  fuse_lowlevel_ops ops{};
  ops.lookup = [](fuse_req_t req, fuse_ino_t parent, const char* name) {
    guarded(req, [&] { mounted(req).lookup(req, parent, name); });
  };
  ops.getattr = [](fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    guarded(req, [&] { mounted(req).getattr(req, ino); });
  };
  ops.readdir = [](fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*) {
    guarded(req, [&] { mounted(req).readdir(req, ino, size, off); });
  };
  ops.opendir = [](fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    fi->cache_readdir = 1;
    fi->keep_cache = 1;
    fuse_reply_open(req, fi);
  };
  ops.open = [](fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    guarded(req, [&] { mounted(req).open(req, ino, fi); });
  };
  ops.read = [](fuse_req_t req, fuse_ino_t, size_t size, off_t off, fuse_file_info* fi) {
    guarded(req, [&] { mounted(req).read(req, size, off, fi); });
  };
  ops.release = [](fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    const std::unique_ptr<OpenFile> file(reinterpret_cast<OpenFile*>(fi->fh));
    fuse_reply_err(req, 0);
  };
  ops.statfs = [](fuse_req_t req, fuse_ino_t) { guarded(req, [&] { mounted(req).statfs(req); }); };
  // The mount is read-only, so the kernel refuses these itself; they are answered
  // here too in case a request gets through.
  ops.setattr = [](fuse_req_t req, fuse_ino_t, struct stat*, int, fuse_file_info*) {
    refuse_write(req);
  };
  ops.mknod = [](fuse_req_t req, fuse_ino_t, const char*, mode_t, dev_t) { refuse_write(req); };
  ops.mkdir = [](fuse_req_t req, fuse_ino_t, const char*, mode_t) { refuse_write(req); };
  ops.unlink = [](fuse_req_t req, fuse_ino_t, const char*) { refuse_write(req); };
  ops.rmdir = [](fuse_req_t req, fuse_ino_t, const char*) { refuse_write(req); };
  ops.symlink = [](fuse_req_t req, const char*, fuse_ino_t, const char*) { refuse_write(req); };
  ops.rename = [](fuse_req_t req, fuse_ino_t, const char*, fuse_ino_t, const char*, unsigned int) {
    refuse_write(req);
  };
  ops.link = [](fuse_req_t req, fuse_ino_t, fuse_ino_t, const char*) { refuse_write(req); };
  ops.write = [](fuse_req_t req, fuse_ino_t, const char*, size_t, off_t, fuse_file_info*) {
    refuse_write(req);
  };
  ops.create = [](fuse_req_t req, fuse_ino_t, const char*, mode_t, fuse_file_info*) {
    refuse_write(req);
  };
  ops.setxattr = [](fuse_req_t req, fuse_ino_t, const char*, const char*, size_t, int) {
    refuse_write(req);
  };
  ops.removexattr = [](fuse_req_t req, fuse_ino_t, const char*) { refuse_write(req); };
  return ops;
}

// libfuse's own messages, as the tool's diagnostics naming the mount point. Set once
// before libfuse can log; its log hook takes no argument to carry it.
std::string log_subject;

void log_to_stderr(fuse_log_level, const char* format, va_list args) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  std::string_view message(text);
  while (!message.empty() && message.back() == '\n') {
    message.remove_suffix(1);
  }
  report_error(log_subject + ": " + std::string(message));
}

// Why `path` cannot be mounted on, or nothing when it can.
std::optional<std::string> mountpoint_problem(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return errno == ENOENT ? "no such directory to mount on" : errno_text(errno);
  }
  if (!S_ISDIR(st.st_mode)) {
    return "not a directory; the mount point must be an empty directory";
  }
  if (::access(path.c_str(), W_OK) != 0 && getuid() != 0) {
    return "no permission to mount here: the mount point must be writable by you";
  }
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path.c_str()), ::closedir);
  if (!dir) {
    return "cannot list the mount point: " + errno_text(errno);
  }
  while (const dirent* child = ::readdir(dir.get())) {
    const std::string_view name = child->d_name;
    if (name != "." && name != "..") {
      return "not empty; mounting would hide what is in it";
    }
  }
  return std::nullopt;
}

// Why FUSE cannot be used here, or nothing.
std::optional<std::string> fuse_problem() {
  struct stat st {};
  if (::stat("/dev/fuse", &st) != 0 || !S_ISCHR(st.st_mode)) {
    return "no FUSE device (/dev/fuse is missing: load the fuse kernel module, or give a "
           "container access to the device)";
  }
  if (getuid() != 0 && ::access("/dev/fuse", R_OK | W_OK) != 0 &&
      ::access("/bin/fusermount3", X_OK) != 0 && ::access("/usr/bin/fusermount3", X_OK) != 0) {
    return "no permission to use /dev/fuse, and no fusermount3 to mount as a user (package "
           "fuse3)";
  }
  return std::nullopt;
}

// Options for libfuse's command line: a comma or backslash in a value is escaped.
std::string option_value(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == ',' || c == '\\') {
      out += '\\';
    }
    out += c;
  }
  return out;
}

// Leaves the terminal once the mount exists: the parent exits 0 when the child is
// on its own, so an error before this point reached the user and its status too.
// Standard error stays where it was, for the damage reports. Returns in the child;
// false when the process could not be split.
bool detach() {
  int ready[2];
  if (::pipe(ready) != 0) {
    return false;
  }
  const pid_t child = ::fork();
  if (child < 0) {
    return false;
  }
  if (child > 0) {
    ::close(ready[1]);
    char status = 1;
    const bool told = ::read(ready[0], &status, 1) == 1;
    ::_exit(told && status == 0 ? EXIT_OK : EXIT_FAILED);
  }
  ::close(ready[0]);
  char status = ::setsid() < 0 ? 1 : 0;
  if (::chdir("/") != 0) {
    status = 1;
  }
  if (const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC); null >= 0) {
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
  }
  (void)::write(ready[1], &status, 1);
  ::close(ready[1]);
  return status == 0;
}

// Mounts `session` on the mount point and serves it from `fs` until it is unmounted,
// in the background unless told to stay; the command's exit status.
int mount_and_serve(fuse_session* session, MountedArchive& fs, const MountOptions& options) {
  // Ctrl-C, SIGTERM and SIGHUP end the loop, and the tree is unmounted below; set
  // before mounting, so no signal can leave a mount nobody serves.
  if (fuse_set_signal_handlers(session) != 0) {
    report_error(options.mountpoint + ": could not set the signal handlers");
    return EXIT_FAILED;
  }
  if (fuse_session_mount(session, options.mountpoint.c_str()) != 0) {
    fuse_remove_signal_handlers(session);
    report_error(options.mountpoint + ": mounting failed");
    return EXIT_FAILED;
  }
  if (!options.foreground && !detach()) {
    report_error(options.mountpoint + ": could not go to the background: " + errno_text(errno));
    fuse_remove_signal_handlers(session);
    fuse_session_unmount(session);
    return EXIT_FAILED;
  }
  // One thread takes the requests and answers those it can without waiting; reads
  // that must wait go to the workers, so many readers are still served at once.
  try {
    fs.start_workers();
  } catch (const std::exception& error) {
    report_error(options.mountpoint +
                 ": could not start the threads that serve reads: " + error.what());
    fuse_remove_signal_handlers(session);
    fuse_session_unmount(session);
    return EXIT_FAILED;
  }
  const int served = fuse_session_loop(session);
  fs.stop_workers();
  fuse_remove_signal_handlers(session);
  fuse_session_unmount(session);
  if (served < 0) {
    report_error(options.mountpoint + ": serving the mount failed: " + errno_text(-served));
    return EXIT_FAILED;
  }
  return EXIT_OK;
}

int run_mount(const MountOptions& options, Verbosity) {
  if (auto problem = mountpoint_problem(options.mountpoint)) {
    report_error(options.mountpoint + ": " + *problem);
    return EXIT_FAILED;
  }
  if (auto problem = fuse_problem()) {
    report_error(options.mountpoint + ": " + *problem);
    return EXIT_FAILED;
  }
  auto archive = open_archive(options.archive);
  if (!archive) {
    return EXIT_FAILED;
  }
  struct stat archive_stat {};
  const time_t archive_time =
      options.archive != STDIN_ARCHIVE && ::stat(options.archive.c_str(), &archive_stat) == 0
          ? archive_stat.st_mtime
          : std::time(nullptr);
  // Plain files are read straight from their blocks' payloads, since their block
  // lists are known; an archive from standard input is read through the library.
  std::unique_ptr<ArchiveSource> payloads;
  if (options.archive != STDIN_ARCHIVE) {
    if (UniqueFd fd(::open(options.archive.c_str(), O_RDONLY | O_CLOEXEC)); fd) {
      payloads = std::make_unique<FileSource>(std::move(fd));
    }
  }
  MountedArchive fs(std::move(*archive), std::move(payloads), options, archive_time);

  log_subject = options.mountpoint;
  fuse_set_log_func(log_to_stderr);
  const std::string mount_options =
      "ro,default_permissions,subtype=marrowvane-dat,fsname=" + option_value(options.archive);
  std::vector<std::string> words = {std::string(TOOL_NAME), "-o", mount_options};
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
  const fuse_lowlevel_ops ops = operations();
  const std::unique_ptr<fuse_session, void (*)(fuse_session*)> session(
      fuse_session_new(&args, &ops, sizeof ops, &fs), fuse_session_destroy);
  fuse_opt_free_args(&args);
  if (!session) {
    report_error(options.mountpoint + ": could not start a FUSE session");
    return EXIT_FAILED;
  }
  return mount_and_serve(session.get(), fs, options);
}

// Turns "64M" into "67108864" (K, M, G: powers of 1024); plain numbers pass as they are.
std::string binary_size(std::string& text) {
  static constexpr std::string_view SUFFIXES = "KMG";
  if (text.empty() ||
      SUFFIXES.find(static_cast<char>(std::toupper(text.back()))) == std::string_view::npos) {
    return {};
  }
  const std::size_t shift = 10 * (1 + SUFFIXES.find(static_cast<char>(std::toupper(text.back()))));
  std::uint64_t value = 0;
  const char* end = text.data() + text.size() - 1;
  const auto [stop, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc{} || stop != end || value > (UINT64_MAX >> shift)) {
    return "not a size in bytes: '" + text + "'";
  }
  text = decimal(value << shift);
  return {};
}

}  // namespace

void register_mount(CommandLine& cli) {
  const auto [mount, options] =
      cli.add("mount", "Serve the archive read-only as a folder at MOUNTPOINT (FUSE)", run_mount);
  add_archive(mount, options->archive, "ARCHIVE");
  mount
      ->add_option("MOUNTPOINT", options->mountpoint,
                   "An empty directory to show the archive's files in")
      ->required()
      ->type_name("PATH")
      ->check(non_empty("mount point"));
  mount->add_flag("-f,--foreground", options->foreground,
                  "Stay in the foreground until unmounted (Ctrl-C unmounts)");
  mount
      ->add_option("--cache-size", options->cache_size,
                   "Keep at most BYTES of decoded files and block lists in memory, shared by "
                   "all open files (suffixes K, M, G: powers of 1024)")
      ->type_name("BYTES")
      ->default_str("256M")
      ->transform(CLI::Validator(binary_size, "", "size"));
  mount->add_flag("--allow-shared-blocks", options->allow_shared_blocks,
                  "Also serve files whose blocks belong to a file of lower id");
  mount->footer(
      "The tree is the one extract writes: MOUNTPOINT/<Type>/<ID>.bin, files 0444 and "
      "folders 0555, in id order. Without --foreground the command returns once the mount "
      "is ready and keeps serving in the background; 'fusermount3 -u MOUNTPOINT' unmounts. "
      "A damaged file fails to read with EIO and is reported once on standard error (in "
      "the background too). A file still open keeps its decoded bytes even when they are "
      "more than the cache holds.");
}

}  // namespace marrowvane_dat::cli
