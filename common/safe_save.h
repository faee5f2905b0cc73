#pragma once
// Saving a file in place of another, the same way for every program of the
// loader that saves (the spy log, the converter's image):
//  - the file saved to is found by following the links of the path's last part
//    one by one, as the kernel does, and a link that the kernel's protected-links
//    rule forbids is never followed, whether that rule is switched on or not: in
//    a sticky folder that everyone may write to, only a link owned by the saving
//    user or by the folder's owner leads anywhere (another user's link there
//    could point at any file the saving user may write, root's included);
//  - the new text goes to a hidden temporary file beside that file, which is
//    renamed over it only when everything was written, so that no partial file
//    ever shows and a failure leaves an existing file as it was;
//  - the new file gets the permissions of the file it replaces, else those of a
//    new file; a file system that refuses a mode (FAT, exFAT: every file has the
//    mode of the mount) is no failure.
// Plain C++17 and POSIX calls; every function returns 0 or the errno of the failure.

#include <string>
#include <sys/stat.h>
#include <sys/types.h>

namespace safe_save {

// The folder part of a path: "." for a bare name, "/" for a name in the root.
std::string folderOf(const std::string &path);

// True when user may follow a link owned by linkOwner that lies in a folder
// with folderMode, owned by folderOwner (the kernel's protected-links rule).
bool mayFollowLink(uid_t user, uid_t linkOwner, mode_t folderMode, uid_t folderOwner);

// The file that a save to path replaces: path itself when it is no link
// (whether it exists or not), else the file its links lead to. A link of /proc
// (/dev/stdout leads to /proc/self/fd/1) names an open file rather than a
// path: throughProc is then set and file left empty. EACCES for a link that
// mayFollowLink() forbids for this process's effective user, ELOOP beyond 40 links.
int saveTarget(const std::string &path, std::string &file, bool &throughProc);

// The name of the hidden temporary file beside a file called name, in a folder
// whose names hold at most nameMax bytes: ".NAME.XXXXXX" (the X for mkstemp),
// NAME cut to fit but never inside a UTF-8 character.
std::string temporaryName(const std::string &name, long nameMax);

// Permissions for a new file in place of existing (none: a new file, by the umask).
mode_t saveMode(const struct stat *existing);

// Creates the temporary file beside file (close-on-exec, never through a link:
// mkstemp creates it afresh) and gives it mode, where the file system allows.
// On success *fd is open for writing and temporary holds its path.
int createTemporary(const std::string &file, mode_t mode, std::string &temporary, int *fd);

}  // namespace safe_save
