// A directory held open while the tool works in it, and the one way to reach what the tool
// creates, replaces, renames or deletes there: each name below it is looked up in it (never a
// path string walked again) and never followed when it is a link or another reparse point. A
// webspace's user owns every folder of the webspace and may swap any of them for a link at any
// moment; what is reached this way stays where it was reached. On Windows the handle also keeps
// the directory from being renamed or removed (no delete sharing).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/unique.h"

class HeldDirectory {
public:
    // Opens the directory `path` (a full path) from its drive root one component at a time,
    // each looked up in the one before and never followed: a component that is a link, another
    // reparse point or a file raises a vexception naming it ("The folder %s is a link, another
    // reparse point or a file; nothing is written through it"), one that cannot be opened the
    // operating-system error. Each folder reached must also be the one its path names by its
    // final path (where links are not reported as reparse points, that is how one shows).
    // With `create`, each missing component is made first, one at a time, as child() makes it.
    static HeldDirectory open(const std::wstring& path, bool create = false);
    // The same, or nothing when a component of `path` does not exist.
    static std::optional<HeldDirectory> openExisting(const std::wstring& path);
    // The directory `path` opened by its path, links on the way followed: for folders that the
    // operator named, which no tenant controls (a template written with --file-name).
    static HeldDirectory openNamed(const std::wstring& path);

    HeldDirectory(HeldDirectory&&) = default;
    HeldDirectory& operator=(HeldDirectory&&) = default;

    // The path it was reached by, without "\\?\".
    const std::wstring& path() const { return path_; }
    Platform::Handle handle() const { return handle_.get(); }
    // The path of the entry `name`, for messages.
    std::wstring pathOf(const std::wstring& name) const;

    // The subdirectory `name` (one plain name), reached as open() reaches each component; with
    // `create`, made first when it is missing (`created` says whether this call made it).
    HeldDirectory child(const std::wstring& name, bool create = false,
                        bool* created = nullptr) const;
    // The subdirectory, or nothing when it does not exist.
    std::optional<HeldDirectory> existingChild(const std::wstring& name) const;

    // The entry `name` opened for `access` (a folder with backup semantics), never followed:
    // a link or another reparse point there is refused with a vexception naming it. An invalid
    // handle, the last error set, when the open itself fails.
    Platform::UniqueHandle openEntry(const std::wstring& name, std::uint32_t access) const;
    // Whether the entry `name` exists (a link counts, as itself), with its attributes.
    bool exists(const std::wstring& name, std::uint32_t* attributes = nullptr) const;
    // Opens the file `name` (createFileAt): a link, another reparse point or a directory there
    // is refused with a vexception naming it, and so is a file with more than one name when
    // `singleName` (a write through a second name would change a file elsewhere). An invalid
    // handle, the last error set, when the open itself fails.
    Platform::UniqueHandle openFile(const std::wstring& name, std::uint32_t access,
                                    std::uint32_t disposition, bool singleName = true) const;
    // The entry `name` renamed to `newName` in this directory; with `replace` an existing file
    // there is replaced in one step. Raises the operating-system error.
    void move(const std::wstring& name, const std::wstring& newName, bool replace) const;
    // Deletes the file `name` (a link itself); false when there is none. Raises the
    // operating-system error otherwise.
    bool remove(const std::wstring& name) const;

private:
    HeldDirectory(std::wstring path, Platform::UniqueHandle handle)
        : path_(std::move(path)), handle_(std::move(handle)) {}
    static std::optional<HeldDirectory> _open(const std::wstring& path, bool create);

    std::wstring path_;
    Platform::UniqueHandle handle_;
};
