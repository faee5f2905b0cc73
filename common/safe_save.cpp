#include "common/safe_save.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace safe_save {

namespace {

constexpr int kMaxLinks = 40;          // links followed from a path to its file, as the kernel does
constexpr long kProcFsMagic = 0x9fa0;  // f_type of /proc (linux/magic.h)

}  // namespace

std::string folderOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool mayFollowLink(uid_t user, uid_t linkOwner, mode_t folderMode, uid_t folderOwner)
{
    const bool shared = (folderMode & S_ISVTX) && (folderMode & S_IWOTH);
    return !shared || linkOwner == user || linkOwner == folderOwner;
}

int saveTarget(const std::string &path, std::string &file, bool &throughProc)
{
    std::string current = path;
    throughProc = false;
    for (int hop = 0; hop < kMaxLinks; ++hop) {
        struct stat link {};
        if (::lstat(current.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
            file = current;
            return 0;
        }
        const std::string folder = folderOf(current);
        struct stat folderStat {};
        if (::stat(folder.c_str(), &folderStat) != 0)
            return errno;
        if (!mayFollowLink(::geteuid(), link.st_uid, folderStat.st_mode, folderStat.st_uid))
            return EACCES;
        struct statfs folderFs {};
        if (::statfs(folder.c_str(), &folderFs) == 0 && long(folderFs.f_type) == kProcFsMagic) {
            throughProc = true;
            file.clear();
            return 0;
        }
        std::string target(PATH_MAX, '\0');
        const ssize_t size = ::readlink(current.c_str(), target.data(), target.size());
        if (size < 0)
            return errno;
        if (size_t(size) >= target.size())
            return ENAMETOOLONG;
        target.resize(size_t(size));
        const size_t slash = current.rfind('/');
        if (!target.empty() && target[0] != '/' && slash != std::string::npos)
            target.insert(0, current, 0, slash + 1);
        current = std::move(target);
    }
    return ELOOP;
}

std::string temporaryName(const std::string &name, long nameMax)
{
    // "." and ".XXXXXX" around the name, cut to fit the limit but never inside a UTF-8 character
    // (exFAT refuses names that are no valid UTF-8). Other bytes are cut where the limit falls.
    constexpr long kAround = 8;
    size_t length = std::min(name.size(), size_t(std::max(nameMax - kAround, 0L)));
    if (length < name.size()) {
        while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80)
            --length;
    }
    return "." + name.substr(0, length) + ".XXXXXX";
}

mode_t saveMode(const struct stat *existing)
{
    if (existing)
        return existing->st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

int createTemporary(const std::string &file, mode_t mode, std::string &temporary, int *fd)
{
    const size_t slash = file.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : file.substr(0, slash + 1);
    long nameMax = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    if (nameMax <= 0)
        nameMax = NAME_MAX;
    std::string path = folder + temporaryName(file.substr(folder.size()), nameMax);
    if (path.size() > PATH_MAX)
        return ENAMETOOLONG;
    const int created = ::mkostemp(path.data(), O_CLOEXEC);
    if (created < 0)
        return errno;
    // FAT and exFAT volumes give every file the owner and mode of the mount and refuse a change to
    // anyone but that owner: the file is written all the same.
    static_cast<void>(::fchmod(created, mode));
    temporary = path;
    *fd = created;
    return 0;
}

}  // namespace safe_save
