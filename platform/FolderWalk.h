// Listing the regular files below a folder, for a search that takes in whole
// folders. The walk opens folders only: a FIFO, socket or device below the folder
// is never opened, so nothing in the tree can block it.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kolbrin::platform {

// When `path` is a folder (a symbolic link to one included: it was named), appends
// to `files` the path of every regular file below it at any depth and returns true;
// otherwise lists nothing and returns false. Each path is `path` without trailing
// slashes, "/" and the names below it, as bytes (a name that is not UTF-8 stays as
// it is on disk). The files come folder by folder, each folder's entries ordered by
// CompareTextOrdered of their names, a folder's name taken with a "/" after it. That
// is the order of CompareTextOrdered over the whole paths, unless two folders' names
// differ only in letter case: that order interleaves their files, the list does not.
//
// Below `path`, a symbolic link to a regular file is listed under its own name; a
// link to anything else (a folder, a dangling or looping link) is not followed.
// FIFOs, sockets and devices are left out, and so is a folder that cannot be opened
// or read (what was read of it before a failure is kept). A type the folder entry
// tells needs no look-up; a symbolic link, and an entry of a file system that does
// not tell types, costs one.
//
// Two threads read folders at once where there are two processors. `stopRequested`
// is asked before each entry, from either of them, also at the same time; once it
// says true the walk ends, lists what it has found, and still returns true. Called
// on any thread; three descriptors at most are open, however deep the tree.
bool ListFilesBelow(const std::string& path, std::vector<std::string>& files,
                    const std::function<bool()>& stopRequested);

}  // namespace kolbrin::platform
