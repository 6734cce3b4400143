#include "private_files.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace termloom {
namespace {

bool typeable(std::string_view path) {
    if (path.empty() || path.front() != '/') return false;
    for (char c : path) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '/' || c == '.' || c == '_' || c == '-';
        if (!plain) return false;
    }
    return true;
}

class Folder {
public:
    // The folder's path, made now if need be; empty with `error` set when it cannot be.
    const std::string& path(std::string& error) {
        std::lock_guard lock(mutex_);
        if (path_.empty() || owner_ != ::getpid()) {
            const char* tmpdir = std::getenv("TMPDIR");
            std::string base = tmpdir && typeable(tmpdir) ? tmpdir : "/tmp";
            while (base.size() > 1 && base.back() == '/') base.pop_back();
            std::string pattern = base + "/termloom-XXXXXX";
            if (::mkdtemp(pattern.data()) == nullptr) {
                error = "cannot make a private folder in " + base + ": " + std::strerror(errno);
                path_.clear();
                return path_;
            }
            path_ = std::move(pattern);
            owner_ = ::getpid();
        }
        return path_;
    }

    ~Folder() {
        // A forked child leaves its parent's folder alone.
        if (path_.empty() || owner_ != ::getpid()) return;
        if (DIR* dir = ::opendir(path_.c_str())) {
            while (dirent* entry = ::readdir(dir)) {
                if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                    ::unlinkat(::dirfd(dir), entry->d_name, 0);
                }
            }
            ::closedir(dir);
        }
        ::rmdir(path_.c_str());
    }

private:
    std::mutex mutex_;
    std::string path_;
    pid_t owner_ = 0;
};

Folder folder;

}  // namespace

Result<std::string> write_private_file(std::string_view name, std::string_view content) {
    std::string error;
    std::string path = folder.path(error);
    if (path.empty()) return runtime_error(std::move(error));
    path += '/';
    path += name;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return runtime_error("cannot write " + path + ": " + std::strerror(errno));
    while (!content.empty()) {
        const ssize_t written = ::write(fd, content.data(), content.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            const int saved = errno;
            ::close(fd);
            ::unlink(path.c_str());
            return runtime_error("cannot write " + path + ": " + std::strerror(saved));
        }
        content.remove_prefix(static_cast<std::size_t>(written));
    }
    ::close(fd);
    return path;
}

void remove_private_file(const std::string& path) { ::unlink(path.c_str()); }

Result<PrivateFifo> make_private_fifo(std::string_view name, bool reading) {
    std::string error;
    std::string path = folder.path(error);
    if (path.empty()) return runtime_error(std::move(error));
    path += '/';
    path += name;
    if (::mkfifo(path.c_str(), 0600) != 0) {
        return runtime_error("cannot make " + path + ": " + std::strerror(errno));
    }
    if (!reading) return PrivateFifo{std::move(path), -1};
    // Open for reading before any writer: it does not block, and Linux
    // reports no hang-up until a writer has come and gone.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int saved = errno;
        ::unlink(path.c_str());
        return runtime_error("cannot open " + path + ": " + std::strerror(saved));
    }
    return PrivateFifo{std::move(path), fd};
}

}  // namespace termloom
