// A file replaced whole, so that a reader (and the next run after a crash) finds the old file
// or the new one, never a mix: the bytes go to a temporary file beside the target, are forced
// to the disk, and the temporary file then takes the target's place in one step.
#pragma once

#include <string>

#include "platform/unique.h"
#include "runtime/held_directory.h"

class AtomicFile {
public:
    // Creates the temporary file of a save to the file `target` of `directory`: new and empty,
    // beside the target (so that the replace stays inside one directory), under a short name of
    // its own, created exclusively (a name already there, a link included, is never written
    // through). Failures, here and later, are the operating-system errors raised at the call
    // site `function`, the operation whose save this is. The directory is held by the caller
    // for as long as this lives.
    AtomicFile(const HeldDirectory& directory, const std::wstring& target, const char* function);
    // Removes the temporary file unless replaceTarget() put it in place.
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // The temporary file's name in the directory.
    const std::wstring& temporaryName() const { return name_; }

    // Writes all of `bytes` and forces them to the disk, then closes the file.
    void write(const std::string& bytes);
    // Puts the written file in the target's place in one step (ReplaceFile), keeping the
    // security and the attributes of the file it replaces; with no file there, it takes the
    // name. Only a regular file is replaced: a device or a pipe under the name stays as it was.
    void replaceTarget();

    // Whether `name` has the form of the temporary files: "~tvr", 8 hexadecimal digits, ".tmp".
    static bool isTemporaryName(const std::wstring& name);
    // Removes the temporary files that killed saves left in `directory`, which only the tool
    // writes.
    static void removeStaleTemporaries(const HeldDirectory& directory);

private:
    const HeldDirectory& directory_;
    std::wstring target_;
    std::wstring name_;
    const char* function_;
    Platform::UniqueHandle file_;
};
